/*
 * The encoder's output: one growing buffer, and the payloads of large
 * immutable objects (bytes, str) referred to in place instead of copied into
 * it. Taking the result copies the buffer and those payloads into one bytes
 * object, so that every byte is copied once into the result and a large blob
 * is never copied twice.
 */
#ifndef QELTYPES_CODEC_OUTPUT_H
#define QELTYPES_CODEC_OUTPUT_H

#include "py.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace qelcodec {

class Output {
public:
    /* Payloads from this size on are referred to rather than copied. */
    static constexpr size_t kReferThreshold = 64 * 1024;

    Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output();

    /* Room for `n` more bytes at the end of the buffer, to be filled and then
     * committed; null with MemoryError raised when it cannot be had. */
    uint8_t* reserve(size_t n)
    {
        if (capacity_ - used_ >= n)
            return buffer_ + used_;
        return grow(n);
    }
    void commit(size_t n) { used_ += n; }

    bool append(const void* data, size_t n)
    {
        uint8_t* p = reserve(n);
        if (p == nullptr)
            return false;
        std::memcpy(p, data, n);
        used_ += n;
        return true;
    }

    /* `size` bytes at `data`, which `owner` (immutable) keeps alive, placed at
     * the current end; a new reference to `owner` is held until the output
     * goes. Small payloads are copied at once. */
    bool append_payload(PyObject* owner, const void* data, size_t size);

    /* The bytes written so far in the buffer, without referred payloads:
     * valid until the next write. */
    const uint8_t* buffer() const { return buffer_; }
    size_t buffer_size() const { return used_; }
    /* The referred payloads in order of their place: the index of the first
     * placed at or after buffer offset `at`, and whether one stands exactly
     * at `at` (advancing `cursor` past those before it). */
    size_t first_referred_from(size_t at) const;
    bool referred_at(size_t at, size_t* cursor) const
    {
        while (*cursor < referred_.size() && referred_[*cursor].at < at)
            ++*cursor;
        return *cursor < referred_.size() && referred_[*cursor].at == at;
    }

    /* Everything written, as one new bytes object; null with an exception. */
    PyObject* to_bytes() const;

    /* The number of bytes written, referred payloads included. */
    size_t size() const { return used_ + referred_bytes_; }

    /* Everything written, in order, as pieces: fn(data, size, owner) for each
     * run of the buffer (owner null) and each referred payload (owner the
     * object that holds it); stops at the first false. */
    template <typename Fn>
    bool for_each_piece(Fn fn) const
    {
        size_t from = 0;
        for (const Referred& r : referred_) {
            if (r.at > from && !fn(buffer_ + from, r.at - from, nullptr))
                return false;
            if (!fn(static_cast<const uint8_t*>(r.data), r.size, r.owner))
                return false;
            from = r.at;
        }
        return used_ <= from || fn(buffer_ + from, used_ - from, nullptr);
    }

    /* Drops what was written from buffer offset `at` on, the payloads
     * referred to after it included. */
    void truncate(size_t at);

    /* Drops everything written; a buffer grown beyond `keep` bytes is given
     * back. */
    void clear(size_t keep);

private:
    struct Referred {
        size_t at; /* buffer offset before which the payload stands */
        const void* data;
        size_t size;
        PyObject* owner;
    };

    uint8_t* grow(size_t n);

    uint8_t* buffer_ = nullptr;
    size_t used_ = 0;
    size_t capacity_ = 0;
    std::vector<Referred> referred_;
    size_t referred_bytes_ = 0;
};

} // namespace qelcodec

#endif /* QELTYPES_CODEC_OUTPUT_H */
