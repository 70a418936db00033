#include "Wire.h"

namespace agentcore {

bool WireReader::take(std::size_t n, const std::uint8_t*& p) {
    if (!ok_ || n > size_ - pos_) {
        ok_ = false;
        return false;
    }
    p = data_ + pos_;
    pos_ += n;
    return true;
}

bool WireReader::u8(std::uint8_t& out) {
    const std::uint8_t* p;
    if (!take(1, p)) return false;
    out = p[0];
    return true;
}

bool WireReader::u32(std::uint32_t& out) {
    const std::uint8_t* p;
    if (!take(4, p)) return false;
    out = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
    return true;
}

bool WireReader::boolean(bool& out) {
    std::uint8_t v;
    if (!u8(v)) return false;
    out = v != 0;
    return true;
}

bool WireReader::stringView(const std::uint8_t*& p, std::size_t& n) {
    std::uint32_t len;
    if (!u32(len)) return false;
    if (!take(len, p)) return false;
    n = len;
    return true;
}

bool WireReader::string(Bytes& out) {
    const std::uint8_t* p;
    std::size_t n;
    if (!stringView(p, n)) return false;
    out.assign(p, p + n);
    return true;
}

bool WireReader::text(std::string& out) {
    const std::uint8_t* p;
    std::size_t n;
    if (!stringView(p, n)) return false;
    out.assign(reinterpret_cast<const char*>(p), n);
    return true;
}

bool WireReader::mpintUnsigned(Bytes& out) {
    const std::uint8_t* p;
    std::size_t n;
    if (!stringView(p, n)) return false;
    if (n > 0 && (p[0] & 0x80)) {
        ok_ = false;
        return false;
    }
    while (n > 0 && p[0] == 0) {
        ++p;
        --n;
    }
    out.assign(p, p + n);
    return true;
}

void WireWriter::u32(std::uint32_t v) {
    out_.push_back(std::uint8_t(v >> 24));
    out_.push_back(std::uint8_t(v >> 16));
    out_.push_back(std::uint8_t(v >> 8));
    out_.push_back(std::uint8_t(v));
}

void WireWriter::string(const std::uint8_t* p, std::size_t n) {
    u32(std::uint32_t(n));
    raw(p, n);
}

void WireWriter::mpint(const std::uint8_t* p, std::size_t n) {
    while (n > 0 && p[0] == 0) {
        ++p;
        --n;
    }
    bool pad = n > 0 && (p[0] & 0x80);
    u32(std::uint32_t(n + (pad ? 1 : 0)));
    if (pad) u8(0);
    raw(p, n);
}

}  // namespace agentcore
