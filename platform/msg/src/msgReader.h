// The streaming BER reader under the message decoders: it takes its input in pieces of any size and
// follows constructed elements on a stack of frames (definite ones bound everything inside them,
// indefinite ones end with end-of-contents octets). A decoder gives the steps (`step`); the reader
// runs them over each piece and keeps only the unread tail of the piece for the next one.
#pragma once

#include "der.h"
#include "msgImpl.h"

#include <cstdint>
#include <vector>

namespace vsk::msg {

constexpr DWORD kMore = 1;  // step result: the element is not all there yet

struct BerHeader {
    BYTE tag = 0;
    bool indefinite = false;
    uint64_t length = 0;
    size_t size = 0;  // identifier and length octets
};

struct BerFrame {
    bool indefinite = false;
    uint64_t end = 0;    // offset of the first byte after a definite element
    uint64_t limit = 0;  // nothing inside may go past this (the nearest definite end)
};

class StreamReader {
public:
    virtual ~StreamReader() = default;

protected:
    // One step of the decoder: 0 to go on, kMore to wait for more input, else the error.
    virtual DWORD step() = 0;
    // Runs the steps over the piece; 0 or the error. The kept tail is at most one element
    // (MaxMsgElementBytes) and a header.
    DWORD feed(const BYTE* data, size_t size);
    // The next element's identifier and length, checked against the enclosing frames; not consumed.
    DWORD peekHeader(BerHeader& h);
    // Whether the innermost frame ends here (its end-of-contents octets, or its declared end).
    DWORD atFrameEnd(bool& ended);
    DWORD push(const BerHeader& h);
    void pop();
    // The next element whole (definite length, within MaxMsgElementBytes); `out` spans it in the
    // input. Consumed.
    DWORD takeWhole(BYTE tag, cert::Tlv& out);
    void consume(size_t n) {
        m_pos += n;
        m_offset += n;
    }
    size_t available() const { return static_cast<size_t>(m_end - m_pos); }
    size_t depth() const { return m_frames.size(); }
    uint64_t offset() const { return m_offset; }
    // The bytes waiting for the rest of an element.
    size_t tailSize() const { return m_tail.size(); }

    // The input being read: the caller's piece, or the kept tail with the piece appended.
    const BYTE* m_pos = nullptr;
    const BYTE* m_end = nullptr;

private:
    DWORD run();

    std::vector<BerFrame> m_frames;
    uint64_t m_offset = 0;  // of m_pos in the message
    Bytes m_tail;
};

}  // namespace vsk::msg
