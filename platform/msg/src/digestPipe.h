// Hashing a message's content on a thread of its own, shared by the encoder and the decoder of signed
// messages.
#pragma once

#include "msgImpl.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace vsk::msg {

// Hashes the content on a thread of its own once a message's content runs large, so that the
// caller's work on the next piece (reading the file, writing the output) overlaps the digest. Small
// contents are hashed in place and start no thread. At most MaxPipedBytes wait to be hashed; beyond
// that the caller waits, so memory stays bounded whatever the message size. The pieces are copies:
// the caller's buffer is its own again once the update returns.
class DigestPipe {
public:
    explicit DigestPipe(std::vector<ContentDigest>& digests) : m_digests(digests) {}
    ~DigestPipe() {
        if (!m_thread.joinable()) return;
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_ready.notify_all();
        m_thread.join();
    }
    DigestPipe(const DigestPipe&) = delete;
    DigestPipe& operator=(const DigestPipe&) = delete;

    void push(const BYTE* data, size_t size) {
        if (!size) return;
        if (!m_thread.joinable()) {
            m_seen += size;
            if (m_seen < ThreadFromBytes) {
                for (ContentDigest& d : m_digests) d.update(data, size);
                return;
            }
            m_thread = std::thread([this] { run(); });
        }
        std::unique_lock lock(m_mutex);
        m_done.wait(lock, [&] { return m_queued == 0 || m_queued + size <= MaxPipedBytes; });
        // Small pieces (a reader fed byte by byte) join the last waiting piece.
        if (!m_queue.empty() && m_queue.back().size() < JoinBelowBytes)
            m_queue.back().insert(m_queue.back().end(), data, data + size);
        else
            m_queue.emplace_back(data, data + size);
        m_queued += size;
        lock.unlock();
        m_ready.notify_one();
    }

    // Waits until everything pushed has been hashed; the digests are then the caller's again.
    void drain() {
        if (!m_thread.joinable()) return;
        std::unique_lock lock(m_mutex);
        m_done.wait(lock, [&] { return m_queued == 0; });
    }

private:
    static constexpr size_t ThreadFromBytes = 1u << 20;
    static constexpr size_t MaxPipedBytes = 8u << 20;
    static constexpr size_t JoinBelowBytes = 64u << 10;

    void run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_ready.wait(lock, [&] { return m_stop || !m_queue.empty(); });
            if (m_stop) return;
            Bytes piece = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            for (ContentDigest& d : m_digests) d.update(piece.data(), piece.size());
            lock.lock();
            m_queued -= piece.size();
            m_done.notify_all();
        }
    }

    std::vector<ContentDigest>& m_digests;
    size_t m_seen = 0;
    std::mutex m_mutex;
    std::condition_variable m_ready, m_done;
    std::deque<Bytes> m_queue;
    size_t m_queued = 0;  // bytes pushed and not yet hashed, the piece being hashed included
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace vsk::msg
