// The encoder's output: a growing buffer and the large payloads it refers to,
// taken at the end as one bytes object.

#include "output.h"

#include <cstdlib>
#include <new>

namespace qelcodec {

namespace {

/* The buffer of the last output, kept for the next one: its pages are
 * already mapped, which saves a page fault per 4 KiB written. Kept only up
 * to kSpareMax so that one large output does not pin its memory. The
 * interpreter lock guards it. */
constexpr size_t kSpareMax = 16u << 20;
uint8_t* g_spare = nullptr;
size_t g_spare_capacity = 0;

} // namespace

Output::Output() : buffer_(g_spare), capacity_(g_spare_capacity)
{
    g_spare = nullptr;
    g_spare_capacity = 0;
}

Output::~Output()
{
    if (capacity_ <= kSpareMax && g_spare == nullptr) {
        g_spare = buffer_;
        g_spare_capacity = capacity_;
    } else {
        std::free(buffer_);
    }
    for (const Referred& r : referred_)
        Py_DECREF(r.owner);
}

uint8_t* Output::grow(size_t n)
{
    // Doubling keeps the number of moves logarithmic in the output's size;
    // realloc lets a large block grow in place.
    size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
    while (capacity - used_ < n) {
        if (capacity > SIZE_MAX / 2) {
            PyErr_NoMemory();
            return nullptr;
        }
        capacity *= 2;
    }
    auto* bigger = static_cast<uint8_t*>(std::realloc(buffer_, capacity));
    if (bigger == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    buffer_ = bigger;
    capacity_ = capacity;
    return buffer_ + used_;
}

bool Output::append_payload(PyObject* owner, const void* data, size_t size)
{
    if (size < kReferThreshold)
        return append(data, size);
    try {
        referred_.push_back(Referred{used_, data, size, owner});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    Py_INCREF(owner);
    referred_bytes_ += size;
    return true;
}

size_t Output::first_referred_from(size_t at) const
{
    size_t low = 0;
    size_t high = referred_.size();
    while (low < high) {
        const size_t mid = low + (high - low) / 2;
        if (referred_[mid].at < at)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

void Output::truncate(size_t at)
{
    while (!referred_.empty() && referred_.back().at > at) {
        referred_bytes_ -= referred_.back().size;
        Py_DECREF(referred_.back().owner);
        referred_.pop_back();
    }
    if (at < used_)
        used_ = at;
}

void Output::clear(size_t keep)
{
    truncate(0);
    for (const Referred& r : referred_)
        Py_DECREF(r.owner);
    referred_.clear();
    referred_bytes_ = 0;
    used_ = 0;
    if (capacity_ > keep) {
        std::free(buffer_);
        buffer_ = nullptr;
        capacity_ = 0;
    }
}

PyObject* Output::to_bytes() const
{
    const size_t total = used_ + referred_bytes_;
    if (total > static_cast<size_t>(PY_SSIZE_T_MAX))
        return PyErr_NoMemory();
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
    if (bytes == nullptr)
        return nullptr;
    char* out = PyBytes_AsString(bytes);
    size_t from = 0;
    for (const Referred& r : referred_) {
        std::memcpy(out, buffer_ + from, r.at - from);
        out += r.at - from;
        std::memcpy(out, r.data, r.size);
        out += r.size;
        from = r.at;
    }
    if (used_ > from)
        std::memcpy(out, buffer_ + from, used_ - from);
    return bytes;
}

} // namespace qelcodec
