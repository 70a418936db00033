// PuTTY's clients' way to the staged agent, as they take it: a request in
// a file mapping named by WM_COPYDATA to the window "Pageant", answered in
// the same mapping.
#ifndef KEYAGENT_PAGEANTCLIENT_H
#define KEYAGENT_PAGEANTCLIENT_H

#include "KeyAgentHarness.h"

#include <cstring>

namespace agenttest {

inline HWND findPageant() { return FindWindowA("Pageant", "Pageant"); }

// The window's answer to a mapping's name, -1 when it gave none in time.
// claimed: the window a client may send in wParam, which proves nothing.
inline LRESULT sendMappingName(const std::string& name, bool terminated = true, HWND claimed = nullptr) {
    COPYDATASTRUCT cds = {0x804E50BA, DWORD(name.size() + (terminated ? 1 : 0)), const_cast<char*>(name.c_str())};
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutA(findPageant(), WM_COPYDATA, WPARAM(claimed), LPARAM(&cds), SMTO_NORMAL, scaled(10000),
                             &answer))
        return -1;
    return LRESULT(answer);
}

inline std::string mappingName() {
    static int serial;
    return "gagent-pageant-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
}

inline Bytes framed(const Bytes& message, std::uint32_t length) {
    Bytes out{std::uint8_t(length >> 24), std::uint8_t(length >> 16), std::uint8_t(length >> 8), std::uint8_t(length)};
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

// Security that names the mapping's owner, as PuTTY's clients give it
// (Wine gives an object made without one no owner at all): the user unless
// told otherwise.
struct OwnedBy {
    std::uint8_t user[256];
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    explicit OwnedBy(PSID owner = nullptr) {
        HANDLE token;
        DWORD n = 0;
        if (!owner && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            if (GetTokenInformation(token, TokenUser, user, sizeof user, &n)) owner = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
            CloseHandle(token);
        }
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
    }
};

// The client side as PuTTY does it: a mapping owned by the user (unless
// told otherwise), one message with its length, SendMessage naming it.
class Mapping {
public:
    explicit Mapping(DWORD size, PSID owner = nullptr) : size_(size), name_(mappingName()) {
        OwnedBy security(owner);
        handle_ = CreateFileMappingA(INVALID_HANDLE_VALUE, &security.attributes, PAGE_READWRITE, 0, size, name_.c_str());
        if (handle_) view_ = static_cast<std::uint8_t*>(MapViewOfFile(handle_, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    }
    ~Mapping() {
        if (view_) UnmapViewOfFile(view_);
        if (handle_) CloseHandle(handle_);
    }
    HANDLE handle() const { return handle_; }
    bool ok() const { return view_ != nullptr; }

    void put(const Bytes& message, std::uint32_t length) {
        Bytes whole = framed(message, length);
        std::memcpy(view_, whole.data(), whole.size());
        sent_.assign(view_, view_ + size_);
    }
    LRESULT send(bool terminated = true, HWND claimed = nullptr) { return sendMappingName(name_, terminated, claimed); }
    // The answer in the mapping, or empty when the request was refused.
    Bytes call(const Bytes& message, HWND claimed = nullptr) {
        put(message, std::uint32_t(message.size()));
        if (send(true, claimed) != 1) return Bytes();
        std::uint32_t n = (std::uint32_t(view_[0]) << 24) | (view_[1] << 16) | (view_[2] << 8) | view_[3];
        return n <= size_ - 4 ? Bytes(view_ + 4, view_ + 4 + n) : Bytes();
    }
    bool untouched() const { return std::memcmp(view_, sent_.data(), size_) == 0; }

private:
    DWORD size_;
    std::string name_;
    HANDLE handle_ = nullptr;
    std::uint8_t* view_ = nullptr;
    Bytes sent_;
};

}  // namespace agenttest

#endif
