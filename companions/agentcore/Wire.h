// The SSH wire encoding (RFC 4251 section 5). The reader never trusts a
// length: every field is checked against what is left before it is taken,
// and a failed read leaves the reader failed for good, so that a caller
// may read a whole message and check once at the end.
#ifndef AGENTCORE_WIRE_H
#define AGENTCORE_WIRE_H

#include "Bytes.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace agentcore {

class WireReader {
public:
    WireReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    explicit WireReader(const Bytes& b) : data_(b.data()), size_(b.size()) {}

    bool u8(std::uint8_t& out);
    bool u32(std::uint32_t& out);
    bool boolean(bool& out);
    // A string as a view into the reader's buffer; valid while the buffer is.
    bool stringView(const std::uint8_t*& p, std::size_t& n);
    bool string(Bytes& out);
    bool text(std::string& out);
    // An mpint that must not be negative; leading zero bytes are dropped, so
    // that out holds the plain unsigned magnitude.
    bool mpintUnsigned(Bytes& out);

    bool ok() const { return ok_; }
    bool atEnd() const { return ok_ && pos_ == size_; }
    std::size_t remaining() const { return ok_ ? size_ - pos_ : 0; }
    std::size_t position() const { return pos_; }
    void fail() { ok_ = false; }

private:
    bool take(std::size_t n, const std::uint8_t*& p);
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

class WireWriter {
public:
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u32(std::uint32_t v);
    void boolean(bool v) { u8(v ? 1 : 0); }
    void string(const std::uint8_t* p, std::size_t n);
    void string(const Bytes& b) { string(b.data(), b.size()); }
    void string(const std::string& s) { string(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }
    // An unsigned magnitude as an mpint: minimal, with a zero byte in front
    // when the top bit is set.
    void mpint(const std::uint8_t* p, std::size_t n);
    void mpint(const Bytes& b) { mpint(b.data(), b.size()); }
    void raw(const std::uint8_t* p, std::size_t n) { out_.insert(out_.end(), p, p + n); }
    void raw(const Bytes& b) { raw(b.data(), b.size()); }

    Bytes& bytes() { return out_; }
    Bytes take() { return std::move(out_); }

private:
    Bytes out_;
};

}  // namespace agentcore

#endif
