// A growable array of plain records in pages of its own, for tables of
// unknown final size: growing moves the pages instead of copying the records,
// and shrinking to the final size gives the slack back, so the memory in use
// never holds the table twice over as a vector's regrowth does.
//
// Making a page present costs a fault or a call per page, and far more under
// a hypervisor that keeps its own page tables. An array told the most it can
// ever hold (`reserve`) takes address room for that once, so it never moves,
// and where that room spans huge pages, it is filled a huge page at a time:
// one fault for 2 MiB.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
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
          populated_(std::exchange(other.populated_, 0)),
          huge_(std::exchange(other.huge_, false)) {}
    MappedArray& operator=(MappedArray&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            bytes_ = std::exchange(other.bytes_, 0);
            populated_ = std::exchange(other.populated_, 0);
            huge_ = std::exchange(other.huge_, false);
        }
        return *this;
    }
    MappedArray(const MappedArray&) = delete;
    MappedArray& operator=(const MappedArray&) = delete;
    ~MappedArray() { release(); }

    /// Takes address room (not memory) for `most` records on an empty array,
    /// so that it never moves while it holds no more; does nothing when the
    /// room cannot be had (the array then grows as it goes).
    void reserve(std::size_t most) noexcept {
        if (data_ != nullptr || most == 0 || most > kMaxBytes / sizeof(T)) {
            return;
        }
        const std::size_t wanted = round_up(most * sizeof(T));
        if (wanted < kHugePage) {
            return;  // growing costs little below one huge page
        }
        // Room for an aligned run of huge pages: the unaligned ends are
        // given back at once.
        const std::size_t room = round_up_huge(wanted);
        void* mapped = ::mmap(nullptr, room + kHugePage, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (mapped == MAP_FAILED) {
            return;
        }
        char* const start = static_cast<char*>(mapped);
        char* const aligned =
            start + (kHugePage - reinterpret_cast<std::uintptr_t>(start) % kHugePage) % kHugePage;
        if (aligned != start) {
            ::munmap(start, static_cast<std::size_t>(aligned - start));
        }
        const std::size_t after = kHugePage - static_cast<std::size_t>(aligned - start);
        if (after != 0) {
            ::munmap(aligned + room, after);
        }
#ifdef MADV_HUGEPAGE
        // Where the kernel has no huge pages to give, the pages stay small.
        huge_ = ::madvise(aligned, room, MADV_HUGEPAGE) == 0;
#endif
        data_ = reinterpret_cast<T*>(aligned);
        bytes_ = room;
    }

    /// Appends one record; throws std::bad_alloc when no memory can be had.
    void push_back(const T& value) {
        if ((size_ + 1) * sizeof(T) > populated_) {
            populate(size_ + 1);
        }
        std::memcpy(static_cast<void*>(data_ + size_), &value, sizeof(T));
        ++size_;
    }

    /// Appends `count` records copied from the bytes at `values` (which need
    /// not be aligned); throws std::bad_alloc when no memory can be had.
    void append(const void* values, std::size_t count) {
        if (count == 0) {
            return;
        }
        while ((size_ + count) * sizeof(T) > populated_) {
            populate(size_ + count);
        }
        std::memcpy(static_cast<void*>(data_ + size_), values, count * sizeof(T));
        size_ += count;
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
        // Shrinking never moves the mapping. Of a huge page cut here, the
        // kernel frees the pages past the cut when it splits the page
        // (deferred until memory runs short); copying the records into small
        // pages instead would cost a fault per page again.
        if (::munmap(reinterpret_cast<char*>(data_) + wanted, bytes_ - wanted) == 0) {
            bytes_ = wanted;
            populated_ = std::min(populated_, wanted);
        }
    }

    std::size_t size() const noexcept {
        return size_;
    }
    bool empty() const noexcept {
        return size_ == 0;
    }
    const T* data() const noexcept {
        return data_;
    }
    T* data() noexcept {
        return data_;
    }
    const T& operator[](std::size_t i) const noexcept {
        return data_[i];
    }
    T& operator[](std::size_t i) noexcept {
        return data_[i];
    }
    const T& back() const noexcept {
        return data_[size_ - 1];
    }
    /// Bytes of memory the array holds.
    std::size_t memory_bytes() const noexcept {
        return bytes_;
    }

  private:
    static constexpr std::size_t kPage = 4096;
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;
    static constexpr std::size_t kFirstBytes = 16 * kPage;
    static constexpr std::size_t kPopulateBytes = 16 * kPage;
    // The most address room `reserve` takes (64 GiB).
    static constexpr std::size_t kMaxBytes = std::size_t{64} << 30;

    static std::size_t round_up(std::size_t bytes) {
        return (bytes + kPage - 1) / kPage * kPage;
    }
    static std::size_t round_up_huge(std::size_t bytes) {
        return (bytes + kHugePage - 1) / kHugePage * kHugePage;
    }

    // Makes the next stretch of pages present in one call rather than one
    // fault per page (a huge page at a time where the room has them),
    // growing the mapping first when it cannot hold `count` records.
    void populate(std::size_t count) {
        if (count * sizeof(T) > bytes_) {
            grow(count * sizeof(T));
        }
        const std::size_t next =
            std::min(bytes_, populated_ + (huge_ ? kHugePage : kPopulateBytes));
#ifdef MADV_POPULATE_WRITE
        // A kernel without it makes the pages present on first touch.
        (void)::madvise(reinterpret_cast<char*>(data_) + populated_, next - populated_,
                        MADV_POPULATE_WRITE);
#endif
        populated_ = next;
    }

    void grow(std::size_t needed) {
        std::size_t wanted = bytes_ == 0 ? kFirstBytes : bytes_ * 2;
        while (wanted < needed) {
            wanted *= 2;
        }
        void* moved = bytes_ == 0 ? ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                  : ::mremap(data_, bytes_, wanted, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED && bytes_ != 0) {
            // A shrunk huge room is two mappings, which mremap cannot move
            // as one: the records are copied instead.
            moved =
                ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (moved != MAP_FAILED) {
                std::memcpy(moved, data_, size_ * sizeof(T));
                ::munmap(data_, bytes_);
                populated_ = 0;
            }
        }
        if (moved == MAP_FAILED) {
            throw std::bad_alloc();
        }
        data_ = static_cast<T*>(moved);
        bytes_ = wanted;
        huge_ = false;
    }

    void release() noexcept {
        if (data_ != nullptr) {
            ::munmap(data_, bytes_);
        }
        data_ = nullptr;
        size_ = 0;
        bytes_ = 0;
        populated_ = 0;
        huge_ = false;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t bytes_ = 0;
    std::size_t populated_ = 0;  // bytes from the start made present
    bool huge_ = false;          // the room is aligned to and advised for huge pages
};

}  // namespace tarnwick_dat
