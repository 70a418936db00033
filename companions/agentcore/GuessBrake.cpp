#include "GuessBrake.h"

#include <chrono>
#include <thread>

namespace agentcore {

namespace {

const std::uint32_t kFirstWait = 250;
const std::uint32_t kLongestWait = 16000;

}  // namespace

GuessBrake::GuessBrake()
    : wait_([](std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }) {}

void GuessBrake::setWait(Wait wait) {
    std::lock_guard<std::mutex> lock(turn_);
    wait_ = std::move(wait);
}

std::uint32_t GuessBrake::waitAfter(std::uint32_t wrongInARow) {
    if (wrongInARow == 0) return 0;
    std::uint32_t shift = wrongInARow - 1 < 16 ? wrongInARow - 1 : 16;
    std::uint64_t ms = std::uint64_t(kFirstWait) << shift;
    return ms < kLongestWait ? std::uint32_t(ms) : kLongestWait;
}

std::uint32_t GuessBrake::counted(const Bytes& secret) {
    std::lock_guard<std::mutex> lock(countsMutex_);
    auto it = wrongInARow_.find(secret);
    return it == wrongInARow_.end() ? 0 : it->second;
}

std::uint32_t GuessBrake::count(const Bytes& secret, bool right) {
    std::lock_guard<std::mutex> lock(countsMutex_);
    if (right) {
        wrongInARow_.erase(secret);
        return 0;
    }
    std::uint32_t& wrong = wrongInARow_[secret];
    if (wrong < 0xffffffffu) ++wrong;
    return wrong;
}

bool GuessBrake::guess(const Bytes& secret, const Check& check, std::uint32_t* wrongInARow) {
    std::lock_guard<std::mutex> turn(turn_);
    std::uint32_t ms = waitAfter(counted(secret));
    if (ms && wait_) wait_(ms);
    bool right = check();
    std::uint32_t wrong = count(secret, right);
    if (wrongInARow) *wrongInARow = wrong;
    return right;
}

void GuessBrake::forgetAll() {
    std::lock_guard<std::mutex> lock(countsMutex_);
    wrongInARow_.clear();
}

}  // namespace agentcore
