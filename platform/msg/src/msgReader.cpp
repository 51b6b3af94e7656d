#include "msgReader.h"

#include <algorithm>

namespace vsk::msg {

DWORD StreamReader::peekHeader(BerHeader& h) {
    const size_t n = available();
    if (n < 2) return kMore;
    const BYTE* p = m_pos;
    h.tag = p[0];
    // Every element of a message has a low tag number.
    if ((h.tag & 0x1F) == 0x1F) return CRYPT_E_ASN1_BADTAG;
    const BYTE first = p[1];
    h.indefinite = false;
    if (first < 0x80) {
        h.length = first;
        h.size = 2;
    } else if (first == 0x80) {
        if (!(h.tag & 0x20)) return CRYPT_E_ASN1_CORRUPT;  // a primitive element has a definite length
        h.indefinite = true;
        h.length = 0;
        h.size = 2;
    } else {
        const size_t octets = first & 0x7F;
        if (octets > 8 || first == 0xFF) return CRYPT_E_ASN1_CORRUPT;
        if (n < 2 + octets) return kMore;
        uint64_t length = 0;
        for (size_t i = 0; i < octets; ++i) {
            if (length >> 55) return CRYPT_E_ASN1_LARGE;
            length = length << 8 | p[2 + i];
        }
        h.length = length;
        h.size = 2 + octets;
    }
    const uint64_t limit = m_frames.empty() ? UINT64_MAX : m_frames.back().limit;
    const uint64_t need = h.indefinite ? h.size + 2 : h.size + h.length;
    if (m_offset > limit || need > limit - m_offset) return CRYPT_E_ASN1_CORRUPT;
    return 0;
}

DWORD StreamReader::atFrameEnd(bool& ended) {
    const BerFrame& f = m_frames.back();
    if (!f.indefinite) {
        if (m_offset > f.end) return CRYPT_E_ASN1_CORRUPT;
        ended = m_offset == f.end;
        return 0;
    }
    if (available() < 2) return kMore;
    ended = m_pos[0] == 0 && m_pos[1] == 0;
    // The end-of-contents octets too must lie within the enclosing definite elements.
    if (ended && (m_offset > f.limit || f.limit - m_offset < 2)) return CRYPT_E_ASN1_CORRUPT;
    return 0;
}

DWORD StreamReader::push(const BerHeader& h) {
    if (m_frames.size() >= MaxMsgNestingDepth) return CRYPT_E_ASN1_CORRUPT;
    consume(h.size);
    BerFrame f;
    f.indefinite = h.indefinite;
    const uint64_t outer = m_frames.empty() ? UINT64_MAX : m_frames.back().limit;
    f.end = h.indefinite ? 0 : m_offset + h.length;
    f.limit = h.indefinite ? outer : std::min(outer, f.end);
    m_frames.push_back(f);
    return 0;
}

void StreamReader::pop() {
    if (m_frames.back().indefinite) consume(2);
    m_frames.pop_back();
}

DWORD StreamReader::takeWhole(BYTE tag, cert::Tlv& out) {
    BerHeader h;
    if (DWORD e = peekHeader(h)) return e;
    if (h.tag != tag) return CRYPT_E_ASN1_BADTAG;
    if (h.indefinite) return CRYPT_E_ASN1_CORRUPT;
    if (h.size + h.length > MaxMsgElementBytes) return CRYPT_E_ASN1_LARGE;
    const size_t whole = h.size + static_cast<size_t>(h.length);
    if (available() < whole) return kMore;
    out.tag = h.tag;
    out.whole = m_pos;
    out.wholeLength = whole;
    out.contents = m_pos + h.size;
    out.length = static_cast<size_t>(h.length);
    consume(whole);
    return 0;
}

DWORD StreamReader::run() {
    while (true) {
        const DWORD e = step();
        if (e == kMore) return 0;
        if (e) return e;
    }
}

DWORD StreamReader::feed(const BYTE* data, size_t size) {
    DWORD e = 0;
    if (m_tail.empty()) {
        m_pos = data;
        m_end = data + size;
        e = run();
        if (!e) m_tail.assign(m_pos, m_end);
    } else {
        m_tail.insert(m_tail.end(), data, data + size);
        m_pos = m_tail.data();
        m_end = m_pos + m_tail.size();
        e = run();
        if (!e) m_tail.erase(m_tail.begin(), m_tail.begin() + (m_pos - m_tail.data()));
    }
    m_pos = m_end = nullptr;
    // What waits for the rest of an element is at most one element, or a header.
    if (!e && m_tail.size() > MaxMsgElementBytes + 16) e = CRYPT_E_ASN1_LARGE;
    return e;
}

}  // namespace vsk::msg
