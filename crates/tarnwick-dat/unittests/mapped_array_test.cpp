#include "internal/mapped_array.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using tarnwick_dat::MappedArray;

struct Record {
    std::uint32_t a;
    std::uint32_t b;
    std::uint32_t c;
};

Record record(std::uint32_t i) {
    return Record{i, ~i, i * 7};
}

std::size_t page_rounded(std::size_t bytes) {
    return (bytes + 4095) / 4096 * 4096;
}

// Records appended one at a time and in runs, with no room reserved, a room
// of small pages, a room of huge pages, and more records than the room was
// told of: every record reads back, and once shrunk the array holds exactly
// the pages its records need.
TEST(MappedArray, EveryRoomHoldsEveryRecordAndShrinksToItsPages) {
    struct Case {
        const char* name;
        std::size_t reserved;
        std::size_t records;
    };
    const Case cases[] = {
        {"nothing", 0, 0},
        {"one record, no room", 0, 1},
        {"growing without room", 0, 300000},
        {"small room", 1000, 900},
        {"huge room, a few records", 1000000, 10},
        {"huge room, past one huge page", 1000000, 250000},
        {"beyond the room", 200000, 500000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MappedArray<Record> array;
        array.reserve(c.reserved);
        std::vector<Record> run;
        for (std::uint32_t i = 0; i < c.records;) {
            if (i % 3 == 0) {
                array.push_back(record(i++));
                continue;
            }
            run.clear();
            for (std::uint32_t k = 0; k < 61 && i < c.records; ++k) {
                run.push_back(record(i++));
            }
            array.append(run.data(), run.size());
        }
        array.shrink_to_fit();
        ASSERT_EQ(array.size(), c.records);
        EXPECT_EQ(array.memory_bytes(), page_rounded(c.records * sizeof(Record)));
        for (std::uint32_t i = 0; i < c.records; ++i) {
            ASSERT_EQ(array[i].a, i);
            ASSERT_EQ(array[i].b, ~i);
            ASSERT_EQ(array[i].c, i * 7);
        }
        // A shrunk array still grows, keeping what it holds.
        array.push_back(record(0xABCDu));
        ASSERT_EQ(array.size(), c.records + 1);
        EXPECT_EQ(array.back().c, 0xABCDu * 7);
        if (c.records > 0) {
            EXPECT_EQ(array[c.records - 1].a, c.records - 1);
        }
    }
}

}  // namespace
