// A growable array of plain records in pages of its own, for tables of
// unknown final size: growing moves the pages instead of copying the records,
// and shrinking to the final size gives the slack back, so the memory in use
// never holds the table twice over as a vector's regrowth does.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace tarnwick_dat {

/// A move-only array of trivially copyable `T` in anonymous memory.
template <typename T>
class MappedArray {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    MappedArray() = default;
    MappedArray(MappedArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          bytes_(std::exchange(other.bytes_, 0)),
          populated_(std::exchange(other.populated_, 0)) {}
    MappedArray& operator=(MappedArray&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            bytes_ = std::exchange(other.bytes_, 0);
            populated_ = std::exchange(other.populated_, 0);
        }
        return *this;
    }
    MappedArray(const MappedArray&) = delete;
    MappedArray& operator=(const MappedArray&) = delete;
    ~MappedArray() { release(); }

    /// Appends one record; throws std::bad_alloc when no memory can be had.
    void push_back(const T& value) {
        if ((size_ + 1) * sizeof(T) > populated_) {
            populate();
        }
        std::memcpy(static_cast<void*>(data_ + size_), &value, sizeof(T));
        ++size_;
    }

    /// Gives back the pages past the last record.
    void shrink_to_fit() noexcept {
        const std::size_t wanted = round_up(size_ * sizeof(T));
        if (wanted == bytes_) {
            return;
        }
        if (wanted == 0) {
            release();
            return;
        }
        // Shrinking never moves the mapping.
        if (::mremap(data_, bytes_, wanted, 0) != MAP_FAILED) {
            bytes_ = wanted;
            populated_ = std::min(populated_, wanted);
        }
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const T* data() const noexcept { return data_; }
    T* data() noexcept { return data_; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& back() const noexcept { return data_[size_ - 1]; }
    /// Bytes of memory the array holds.
    std::size_t memory_bytes() const noexcept { return bytes_; }

  private:
    static constexpr std::size_t kPage = 4096;
    static constexpr std::size_t kFirstBytes = 16 * kPage;
    static constexpr std::size_t kPopulateBytes = 16 * kPage;

    static std::size_t round_up(std::size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

    // Makes the next stretch of pages present in one call rather than one
    // fault per page, growing the mapping first when it is used up.
    void populate() {
        if ((size_ + 1) * sizeof(T) > bytes_) {
            grow();
        }
        const std::size_t next = std::min(bytes_, populated_ + kPopulateBytes);
#ifdef MADV_POPULATE_WRITE
        // A kernel without it makes the pages present on first touch.
        (void)::madvise(reinterpret_cast<char*>(data_) + populated_, next - populated_,
                        MADV_POPULATE_WRITE);
#endif
        populated_ = next;
    }

    void grow() {
        const std::size_t wanted = bytes_ == 0 ? kFirstBytes : bytes_ * 2;
        void* moved = bytes_ == 0 ? ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                  : ::mremap(data_, bytes_, wanted, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) {
            throw std::bad_alloc();
        }
        data_ = static_cast<T*>(moved);
        bytes_ = wanted;
    }

    void release() noexcept {
        if (data_ != nullptr) {
            ::munmap(data_, bytes_);
        }
        data_ = nullptr;
        size_ = 0;
        bytes_ = 0;
        populated_ = 0;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t bytes_ = 0;
    std::size_t populated_ = 0;  // bytes from the start made present
};

}  // namespace tarnwick_dat
