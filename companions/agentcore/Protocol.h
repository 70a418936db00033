// The agent protocol as both ends speak it: message numbers, constraints,
// the size limit and the names of this agent's own extensions. Shared by
// the agent and its library, so that neither can drift from the other.
#ifndef AGENTCORE_PROTOCOL_H
#define AGENTCORE_PROTOCOL_H

#include <cstddef>
#include <cstdint>

namespace agentcore {

enum : std::uint8_t {
    SSH_AGENT_FAILURE = 5,
    SSH_AGENT_SUCCESS = 6,
    SSH_AGENTC_REQUEST_IDENTITIES = 11,
    SSH_AGENT_IDENTITIES_ANSWER = 12,
    SSH_AGENTC_SIGN_REQUEST = 13,
    SSH_AGENT_SIGN_RESPONSE = 14,
    SSH_AGENTC_ADD_IDENTITY = 17,
    SSH_AGENTC_REMOVE_IDENTITY = 18,
    SSH_AGENTC_REMOVE_ALL_IDENTITIES = 19,
    SSH_AGENTC_ADD_SMARTCARD_KEY = 20,
    SSH_AGENTC_REMOVE_SMARTCARD_KEY = 21,
    SSH_AGENTC_LOCK = 22,
    SSH_AGENTC_UNLOCK = 23,
    SSH_AGENTC_ADD_ID_CONSTRAINED = 25,
    SSH_AGENTC_ADD_SMARTCARD_KEY_CONSTRAINED = 26,
    SSH_AGENTC_EXTENSION = 27,
    SSH_AGENT_EXTENSION_FAILURE = 28,
};

// Constraints of SSH_AGENTC_ADD_ID_CONSTRAINED.
enum : std::uint8_t {
    SSH_AGENT_CONSTRAIN_LIFETIME = 1,
    SSH_AGENT_CONSTRAIN_CONFIRM = 2,
    SSH_AGENT_CONSTRAIN_EXTENSION = 255,  // string name, then its own data
};

// The one constraint extension held: where the key may be used.
const char* const kRestrictDestination = "restrict-destination-v00@openssh.com";

// The way a request came in. The public pipe and PuTTY's window serve
// every local program and every host the user forwards the agent to: they
// speak the agent protocol and its standard extensions only. The manager's
// channel is a pipe of its own that only the agent library opens; the
// requests that manage the agent itself (key files, generation, names,
// lifetimes, the agent passphrase) are served there alone.
enum class Channel : std::uint8_t { Public, Manager };

// Requests longer than this are refused and end the connection.
const std::size_t kMaxMessage = 256 * 1024;

// Extensions of this agent (SSH_AGENTC_EXTENSION with the name, then the
// body); each answers SSH_AGENT_SUCCESS and its data, or
// SSH_AGENT_EXTENSION_FAILURE.
const char* const kLockWithAgentPassphrase = "lock-with-agent-passphrase@glimmerpad";
const char* const kLockState = "lock-state@glimmerpad";           // reply: boolean locked
const char* const kRenameKey = "rename-key@glimmerpad";           // string blob, string name
const char* const kSetLifetime = "set-lifetime@glimmerpad";       // string blob, uint32 seconds (0 removes)
// reply: uint32 n, n x (blob, comment, uint32 seconds left, boolean confirm,
// uint32 hops, hops x (string from host, string to user, string to host))
const char* const kKeyList = "key-list@glimmerpad";
const char* const kAttachWindow = "attach-window@glimmerpad";     // uint32 high, uint32 low of a window handle
const char* const kAddKeyFileExtension = "add-key-file@glimmerpad";  // see KeyFileRequest.h
const char* const kGenerateKey = "generate-key@glimmerpad";       // string path, uint32 type, uint32 bits, uint32 thread id

}  // namespace agentcore

#endif
