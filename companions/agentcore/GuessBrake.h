// One brake on guessing a passphrase, whoever guesses and by which way in:
// every unlock and every check of the agent passphrase waits its turn
// here, and waits longer the more wrong guesses at the same passphrase
// came before it, before its key derivation runs. Guesses made side by
// side on many connections therefore take as long as the same guesses
// made one after another by one client.
#ifndef AGENTCORE_GUESSBRAKE_H
#define AGENTCORE_GUESSBRAKE_H

#include "Bytes.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace agentcore {

class GuessBrake {
public:
    // Holds the guessing thread back for the milliseconds given.
    using Wait = std::function<void(std::uint32_t milliseconds)>;
    // The guess itself: true when the passphrase is right.
    using Check = std::function<bool()>;

    GuessBrake();
    void setWait(Wait wait);

    // The wait before a guess that follows this many wrong ones: none at
    // first, then 250 ms, doubling up to 16 s.
    static std::uint32_t waitAfter(std::uint32_t wrongInARow);

    // Runs check in turn, after the wait. secret names the passphrase
    // guessed at (its verifier's hash). Wrong guesses are counted for each
    // passphrase, and a right one clears only its own count: a client can
    // always lock the agent with a passphrase of its own and unlock it,
    // which must not clear the wait on the agent passphrase. (Only one
    // passphrase can be guessed at a time: the lock's while locked, the
    // agent passphrase while not.) wrongInARow, when given, receives the
    // count after this guess.
    bool guess(const Bytes& secret, const Check& check, std::uint32_t* wrongInARow = nullptr);

    // Every count cleared: the passphrases they were for are gone.
    void forgetAll();

private:
    std::uint32_t counted(const Bytes& secret);
    std::uint32_t count(const Bytes& secret, bool right);

    std::mutex turn_;  // held through the wait and the check
    Wait wait_;
    // Apart from the turn, so that forgetAll never waits for a guess.
    std::mutex countsMutex_;
    std::map<Bytes, std::uint32_t> wrongInARow_;  // no entry: none wrong
};

}  // namespace agentcore

#endif
