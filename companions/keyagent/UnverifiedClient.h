// The client process of a request the agent cannot establish. A program on
// PuTTY's path (the "Pageant" window) names its window itself, so the
// process behind that window says nothing about who asks; the dialog and
// the log show such a client as not verified, never as the program it
// points at. No Windows process has this id.
#ifndef GKEYAGENT_UNVERIFIEDCLIENT_H
#define GKEYAGENT_UNVERIFIEDCLIENT_H

#include <cstdint>

const std::uint64_t kUnverifiedClient = ~std::uint64_t(0);

#endif
