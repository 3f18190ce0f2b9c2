// Manifests: made from an opened archive on all cores, written one object per
// line, and read back through nlohmann's SAX parser from a file read a chunk
// at a time, so that neither the text nor a document tree is ever held.

#include "manifest.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <iterator>
#include <nlohmann/json.hpp>
#include <numeric>
#include <unordered_map>

#include "internal/file_hash.hpp"
#include "internal/parallel.hpp"

namespace tarnwick_dat {

namespace {

// ---------------------------------------------------------------------------
// Reading a file a chunk at a time, as characters for the parser

class ChunkReader {
  public:
    explicit ChunkReader(int fd) : fd_(fd), buffer_(std::size_t{1} << 16) { fill(); }

    bool at_end() const { return pos_ >= length_; }
    char current() const { return buffer_[pos_]; }
    void advance() {
        if (++pos_ == length_) {
            fill();
        }
    }
    // The OS error that ended the input early, or 0.
    int error() const { return error_; }

  private:
    void fill() {
        pos_ = 0;
        length_ = 0;
        for (;;) {
            const ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                error_ = errno;
                return;
            }
            length_ = static_cast<std::size_t>(got);
            return;
        }
    }

    int fd_;
    std::vector<char> buffer_;
    std::size_t pos_ = 0;
    std::size_t length_ = 0;
    int error_ = 0;
};

// An input iterator over a ChunkReader; all copies share the reader's place.
class CharIterator {
  public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = char;

    CharIterator() = default;
    explicit CharIterator(ChunkReader* reader) : reader_(reader) {}

    char operator*() const { return reader_->current(); }
    CharIterator& operator++() {
        reader_->advance();
        return *this;
    }
    CharIterator operator++(int) {
        CharIterator before = *this;
        reader_->advance();
        return before;
    }
    friend bool operator==(const CharIterator& a, const CharIterator& b) {
        return a.done() == b.done();
    }

  private:
    bool done() const { return reader_ == nullptr || reader_->at_end(); }
    ChunkReader* reader_ = nullptr;
};

// ---------------------------------------------------------------------------
// Type names

const std::unordered_map<std::string_view, DatFileType>& types_by_name() {
    static const auto* const table = [] {
        auto* map = new std::unordered_map<std::string_view, DatFileType>;
        for (const DatFileType type : kAllDatFileTypes) {
            map->emplace(name(type), type);
        }
        return map;
    }();
    return *table;
}

}  // namespace

// ---------------------------------------------------------------------------
// Building a manifest

// Fills a manifest in any order, then sorts it by id and refuses duplicates.
class ManifestBuilder {
  public:
    // Room for `count` entries filled by index (set_at) from several threads.
    void presize(std::size_t count, HashAlgorithm algorithm) {
        m_.algorithm_ = algorithm;
        m_.entries_.resize(count);
        m_.digests_.resize(count * digest_length(algorithm));
        hashed_.assign(count, 0);
    }
    void set_at(std::size_t index, const ManifestEntry& entry,
                const std::optional<ContentHash>& hash) {
        m_.entries_[index] = entry;
        if (hash) {
            std::copy(hash->bytes().begin(), hash->bytes().end(),
                      m_.digests_.begin() +
                          static_cast<std::ptrdiff_t>(index * digest_length(hash->algorithm)));
            hashed_[index] = 1;
        }
    }

    // Room for `count` appended entries (and their hashes, once the
    // algorithm is known).
    void reserve(std::size_t count) {
        expected_ = count;
        m_.entries_.reserve(count);
        hashed_.reserve(count);
    }

    // Appends; false (with `error` set) when the hash's algorithm differs
    // from the ones before.
    bool append(const ManifestEntry& entry, const std::optional<ContentHash>& hash,
                std::string& error) {
        if (hash) {
            if (m_.algorithm_ && *m_.algorithm_ != hash->algorithm) {
                error = fmt::format("a {} hash after {} hashes: a manifest holds one kind",
                                    hash_algorithm_name(hash->algorithm),
                                    hash_algorithm_name(*m_.algorithm_));
                return false;
            }
            if (!m_.algorithm_) {
                m_.algorithm_ = hash->algorithm;
                // Entries before the first hash had none.
                m_.digests_.reserve(std::max(expected_, m_.entries_.size() + 1) *
                                    digest_length(hash->algorithm));
                m_.digests_.assign(m_.entries_.size() * digest_length(hash->algorithm), 0);
            }
        }
        m_.entries_.push_back(entry);
        hashed_.push_back(hash ? 1 : 0);
        if (m_.algorithm_) {
            const std::size_t length = digest_length(*m_.algorithm_);
            if (hash) {
                m_.digests_.insert(m_.digests_.end(), hash->bytes().begin(), hash->bytes().end());
            } else {
                m_.digests_.insert(m_.digests_.end(), length, 0);
            }
        }
        return true;
    }

    // The manifest in ascending id order; the first id listed twice, if any.
    Result<Manifest, std::uint32_t> finish() && {
        const auto by_id = [&](std::size_t a, std::size_t b) {
            return m_.entries_[a].entry.id < m_.entries_[b].entry.id;
        };
        const std::size_t count = m_.entries_.size();
        std::vector<std::uint32_t> order(count);
        std::iota(order.begin(), order.end(), 0u);
        if (!std::is_sorted(order.begin(), order.end(), by_id)) {
            std::stable_sort(order.begin(), order.end(), by_id);
            std::vector<ManifestEntry> entries(count);
            std::vector<std::uint8_t> digests(m_.digests_.size());
            std::vector<std::uint8_t> hashed(count);
            const std::size_t length = m_.algorithm_ ? digest_length(*m_.algorithm_) : 0;
            for (std::size_t i = 0; i < count; ++i) {
                entries[i] = m_.entries_[order[i]];
                hashed[i] = hashed_[order[i]];
                std::copy_n(m_.digests_.begin() + static_cast<std::ptrdiff_t>(order[i] * length),
                            length, digests.begin() + static_cast<std::ptrdiff_t>(i * length));
            }
            m_.entries_ = std::move(entries);
            m_.digests_ = std::move(digests);
            hashed_ = std::move(hashed);
        }
        for (std::size_t i = 1; i < count; ++i) {
            if (m_.entries_[i].entry.id == m_.entries_[i - 1].entry.id) {
                return Err{m_.entries_[i].entry.id};
            }
        }
        m_.hashed_.assign(hashed_.begin(), hashed_.end());
        if (!m_.algorithm_) {
            m_.digests_.clear();
        }
        return std::move(m_);
    }

  private:
    Manifest m_;
    // One byte per entry (written from several threads by set_at).
    std::vector<std::uint8_t> hashed_;
    std::size_t expected_ = 0;
};

namespace {

// ---------------------------------------------------------------------------
// Reading a manifest

using json = nlohmann::json;

// The keys read back; a bit each.
enum Key : unsigned {
    kId = 1,
    kType = 2,
    kSize = 4,
    kDecodedSize = 8,
    kTimestamp = 16,
    kVersion = 32,
    kBitFlags = 64,
    kOffset = 128,
    kHash = 256,
    kIgnored = 512,
};
constexpr unsigned kRequired = kId | kType | kSize | kTimestamp | kVersion | kBitFlags | kOffset;

constexpr std::pair<std::string_view, Key> kKeys[] = {
    {"id", kId},
    {"type", kType},
    {"size", kSize},
    {"decoded_size", kDecodedSize},
    {"timestamp", kTimestamp},
    {"version", kVersion},
    {"bit_flags", kBitFlags},
    {"offset", kOffset},
    {"hash", kHash},
};

std::string_view key_name(unsigned key) {
    for (const auto& [text, bit] : kKeys) {
        if (bit == key) {
            return text;
        }
    }
    return "?";
}

class ManifestHandler : public nlohmann::json_sax<json> {
  public:
    bool null() override {
        if (!value_start()) {
            return false;
        }
        switch (key_) {
            case kDecodedSize:
                entry_.has_decoded_size = false;
                return seen();
            case kHash:
                hash_.reset();
                return seen();
            case kIgnored:
                return true;
            default:
                return wrong_value();
        }
    }
    bool boolean(bool /*value*/) override {
        return value_start() && (key_ == kIgnored || wrong_value());
    }
    bool number_integer(number_integer_t value) override {
        if (value < 0) {
            return value_start() && (key_ == kIgnored || wrong_value());
        }
        return number_unsigned(static_cast<number_unsigned_t>(value));
    }
    bool number_unsigned(number_unsigned_t value) override {
        if (!value_start()) {
            return false;
        }
        if (key_ == kIgnored) {
            return true;
        }
        // The entry's own fields go by their names in its description.
        std::uint32_t* field = nullptr;
        if (key_ == kDecodedSize) {
            field = &entry_.decoded_size;
            entry_.has_decoded_size = true;
        } else if (key_ != kId) {
            for_each_field(entry_.entry, [&](const FieldSite& site, std::uint32_t& member) {
                field = site.field == key_name(key_) ? &member : field;
            });
        }
        if (field == nullptr) {
            return wrong_value();
        }
        if (value > 0xFFFFFFFFu) {
            return wrong_value();
        }
        *field = static_cast<std::uint32_t>(value);
        return seen();
    }
    bool number_float(number_float_t /*value*/, const string_t& /*text*/) override {
        return value_start() && (key_ == kIgnored || wrong_value());
    }
    bool string(string_t& value) override {
        if (!value_start()) {
            return false;
        }
        switch (key_) {
            case kIgnored:
                return true;
            case kId:
                return read_id(value) && seen();
            case kType: {
                const auto& types = types_by_name();
                const auto found = types.find(value);
                if (found == types.end()) {
                    return fail(fmt::format("unknown file type '{}'", value));
                }
                entry_.type = found->second;
                return seen();
            }
            case kHash:
                hash_ = ContentHash::parse(value);
                if (!hash_) {
                    return fail(fmt::format("'{}' is no xxh3 or sha256 hash", value));
                }
                return seen();
            default:
                return wrong_value();
        }
    }
    bool binary(binary_t& /*value*/) override { return wrong_value(); }

    bool start_object(std::size_t /*elements*/) override {
        if (depth_ == 1) {
            ++depth_;
            ++position_;
            entry_ = ManifestEntry{};
            hash_.reset();
            present_ = 0;
            return true;
        }
        return nested_start();
    }
    bool end_object() override {
        if (depth_ > 2) {
            --depth_;
            return true;
        }
        --depth_;
        if ((present_ & kRequired) != kRequired) {
            for (const auto& [text, bit] : kKeys) {
                if ((kRequired & bit) != 0 && (present_ & bit) == 0) {
                    return fail(fmt::format("key '{}' is missing", text));
                }
            }
        }
        std::string error;
        if (!builder_.append(entry_, hash_, error)) {
            return fail(std::move(error));
        }
        hashed_ |= hash_.has_value();
        return true;
    }
    bool start_array(std::size_t /*elements*/) override {
        if (depth_ == 0) {
            ++depth_;
            return true;
        }
        return nested_start();
    }
    bool end_array() override {
        --depth_;
        return true;
    }
    bool key(string_t& value) override {
        if (depth_ != 2) {
            return true;
        }
        key_ = kIgnored;
        for (const auto& [text, bit] : kKeys) {
            if (text == value) {
                key_ = bit;
            }
        }
        return true;
    }
    bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                     const nlohmann::detail::exception& error) override {
        // "[json.exception.parse_error.101] parse error at line 1, column 3: ..."
        std::string_view text = error.what();
        if (const std::size_t end = text.find("] ");
            text.starts_with("[json.") && end != std::string_view::npos) {
            text.remove_prefix(end + 2);
        }
        message_ = std::string(text);
        position_ = 0;
        return false;
    }

    ManifestBuilder& builder() { return builder_; }
    const std::string& message() const { return message_; }
    std::uint64_t position() const { return position_; }
    std::uint64_t entries() const { return entries_seen(); }
    bool hashed() const { return hashed_; }

  private:
    std::uint64_t entries_seen() const { return position_; }

    // A value at the top or inside the array must be the array or an object.
    bool value_start() {
        if (depth_ == 0) {
            return fail_top();
        }
        if (depth_ == 1) {
            ++position_;
            return fail("not an object");
        }
        return depth_ == 2 || (key_ = kIgnored, true);
    }
    bool nested_start() {
        if (depth_ == 0) {
            return fail_top();
        }
        if (depth_ == 1) {
            ++position_;
            return fail("not an object");
        }
        if (depth_ == 2 && key_ != kIgnored) {
            return wrong_value();
        }
        ++depth_;
        return true;
    }
    bool fail_top() {
        message_ = "a manifest is a JSON array of objects";
        return false;
    }
    bool seen() {
        if ((present_ & key_) != 0) {
            return fail(fmt::format("key '{}' is given twice", key_name(key_)));
        }
        present_ |= key_;
        return true;
    }
    bool wrong_value() {
        switch (key_) {
            case kId:
                return fail("'id' must be a string of eight hexadecimal digits");
            case kType:
                return fail("'type' must be a file type name");
            case kHash:
                return fail("'hash' must be a string or null");
            case kDecodedSize:
                return fail("'decoded_size' must be a number from 0 to 4294967295 or null");
            default:
                return fail(
                    fmt::format("'{}' must be a number from 0 to 4294967295", key_name(key_)));
        }
    }
    bool read_id(const std::string& text) {
        if (text.size() != 8) {
            return wrong_value();
        }
        std::uint32_t id = 0;
        for (const char c : text) {
            int digit = -1;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (c >= 'A' && c <= 'F') {
                digit = c - 'A' + 10;
            } else if (c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            }
            if (digit < 0) {
                return wrong_value();
            }
            id = id << 4 | static_cast<std::uint32_t>(digit);
        }
        entry_.entry.id = id;
        return true;
    }
    bool fail(std::string message) {
        message_ = std::move(message);
        return false;
    }

    ManifestBuilder builder_;
    ManifestEntry entry_;
    std::optional<ContentHash> hash_;
    unsigned present_ = 0;
    unsigned key_ = kIgnored;
    int depth_ = 0;
    std::uint64_t position_ = 0;
    bool hashed_ = false;
    std::string message_;
};

// The number of objects directly inside the top-level array of the JSON
// text `reader` yields (an upper bound when the text is malformed).
std::size_t count_objects(ChunkReader& reader) {
    std::size_t count = 0;
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (; !reader.at_end(); reader.advance()) {
        const char c = reader.current();
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        switch (c) {
            case '"':
                in_string = true;
                break;
            case '[':
            case '{':
                count += c == '{' && depth == 1;
                ++depth;
                break;
            case ']':
            case '}':
                --depth;
                break;
            default:
                break;
        }
    }
    return count;
}

template <typename Parse>
Result<Manifest, ManifestError> read_with(const std::filesystem::path& path, Parse&& parse) {
    ManifestHandler handler;
    const bool parsed = parse(handler);
    auto error = [&](std::uint64_t entry, std::string message) -> Result<Manifest, ManifestError> {
        return Err{ManifestError{path, entry, std::move(message)}};
    };
    if (!parsed) {
        return error(handler.position(), handler.message().empty()
                                             ? std::string("the JSON does not parse")
                                             : handler.message());
    }
    auto manifest = std::move(handler.builder()).finish();
    if (!manifest) {
        return error(0, fmt::format("id {:08X} is listed twice", manifest.error()));
    }
    if (manifest->size() > 0 && !handler.hashed()) {
        return error(0, "no file has a hash: a manifest is a listing made with ls --json --hash");
    }
    return std::move(manifest).value();
}

}  // namespace

std::string ManifestError::display() const {
    std::string text;
    if (!path.empty()) {
        text = path.string() + ": ";
    }
    if (entry != 0) {
        text += fmt::format("entry {}: ", entry);
    }
    return text + message;
}

Result<Manifest, ManifestError> Manifest::read(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Err{ManifestError{path, 0, IoError::from_os(errno).display()}};
    }
    std::size_t count = 0;
    {
        ChunkReader counter(fd);
        count = count_objects(counter);
        if (counter.error() != 0) {
            ::close(fd);
            return Err{ManifestError{path, 0, IoError::from_os(counter.error()).display()}};
        }
    }
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        const int code = errno;
        ::close(fd);
        return Err{ManifestError{path, 0, IoError::from_os(code).display()}};
    }
    ChunkReader reader(fd);
    auto result = read_with(path, [&](ManifestHandler& handler) {
        handler.builder().reserve(count);
        return json::sax_parse(CharIterator(&reader), CharIterator(), &handler);
    });
    ::close(fd);
    if (reader.error() != 0) {
        return Err{ManifestError{path, 0, IoError::from_os(reader.error()).display()}};
    }
    return result;
}

Result<Manifest, ManifestError> Manifest::parse(std::string_view text) {
    return read_with({}, [&](ManifestHandler& handler) {
        return json::sax_parse(text.begin(), text.end(), &handler);
    });
}

std::optional<std::size_t> Manifest::find(std::uint32_t id) const noexcept {
    const auto at = std::lower_bound(
        entries_.begin(), entries_.end(), id,
        [](const ManifestEntry& e, std::uint32_t wanted) { return e.entry.id < wanted; });
    if (at == entries_.end() || at->entry.id != id) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(at - entries_.begin());
}

std::optional<ContentHash> Manifest::hash(std::size_t index) const {
    if (!algorithm_ || index >= hashed_.size() || !hashed_[index]) {
        return std::nullopt;
    }
    ContentHash hash;
    hash.algorithm = *algorithm_;
    const std::size_t length = digest_length(*algorithm_);
    std::copy_n(digests_.begin() + static_cast<std::ptrdiff_t>(index * length), length,
                hash.digest.begin());
    return hash;
}

std::string Manifest::text() const {
    if (entries_.empty()) {
        return "[]\n";
    }
    std::string text = "[\n";
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        text += "  ";
        text += manifest_object(entries_[i], hash(i), true);
        text += i + 1 < entries_.size() ? ",\n" : "\n";
    }
    return text + "]\n";
}

// ---------------------------------------------------------------------------
// Making a manifest

Manifest make_manifest(const DatDatabase& database, const ManifestOptions& options,
                       std::vector<ManifestFailure>* failures) {
    std::vector<const DatFileEntry*> selected;
    if (options.ids.empty()) {
        selected.reserve(database.files().size());
        for (const DatFileEntry& entry : database.files()) {
            selected.push_back(&entry);
        }
    } else {
        std::vector<std::uint32_t> ids = options.ids;
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        for (const std::uint32_t id : ids) {
            if (const DatFileEntry* entry = database.files().find(id)) {
                selected.push_back(entry);
            }
        }
    }

    constexpr std::size_t kChunk = 32;
    struct Worker {
        explicit Worker(HashAlgorithm algorithm) : hasher(algorithm) {}
        Bytes buffer;
        ContentHasher hasher;
        std::vector<ManifestFailure> failures;
    };
    const unsigned count = detail::worker_count(options.threads, selected.size(), kChunk);
    std::vector<Worker> workers;
    workers.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        workers.emplace_back(options.hash);
    }
    ManifestBuilder builder;
    builder.presize(selected.size(), options.hash);
    detail::run_in_chunks(selected.size(), count, kChunk, options.progress,
                          [&](unsigned index, std::size_t item) {
                              Worker& w = workers[index];
                              const DatFileEntry& entry = *selected[item];
                              ManifestEntry row;
                              row.entry = entry;
                              row.type = database.file_type(entry.id);
                              auto decoded = database.decoded_size(entry.id);
                              // A declared size is 4 bytes, a stored one is the entry's.
                              if (decoded && *decoded <= 0xFFFFFFFFu) {
                                  row.decoded_size = static_cast<std::uint32_t>(*decoded);
                                  row.has_decoded_size = true;
                              }
                              std::optional<ContentHash> hash;
                              auto read = hash_file(database, entry, w.buffer, w.hasher);
                              if (read) {
                                  hash = read->hash;
                              } else {
                                  w.failures.push_back({entry.id, std::move(read).error()});
                              }
                              builder.set_at(item, row, hash);
                          });
    if (failures != nullptr) {
        for (Worker& w : workers) {
            for (ManifestFailure& failure : w.failures) {
                failures->push_back(std::move(failure));
            }
        }
        std::sort(failures->begin(), failures->end(),
                  [](const ManifestFailure& a, const ManifestFailure& b) { return a.id < b.id; });
    }
    // Ascending and one per id already: finishing cannot fail.
    return std::move(builder).finish().value();
}

std::string manifest_object(const ManifestEntry& row, const std::optional<ContentHash>& hash,
                            bool with_hash) {
    using ordered = nlohmann::ordered_json;
    const DatFileEntry& entry = row.entry;
    ordered object = ordered::object();
    object["id"] = fmt::format("{:08X}", entry.id);
    object["type"] = std::string(name(row.type));
    object["compressed"] = entry.is_compressed();
    object["size"] = entry.size;
    object["decoded_size"] = row.has_decoded_size ? ordered(row.decoded_size) : ordered(nullptr);
    object["timestamp"] = entry.timestamp;
    const auto time = timestamp_text(entry.timestamp);
    object["time"] = time ? ordered(*time) : ordered(nullptr);
    object["version"] = entry.version;
    object["bit_flags"] = entry.bit_flags;
    object["offset"] = entry.offset;
    if (with_hash) {
        object["hash"] = hash ? ordered(hash->text()) : ordered(nullptr);
    }
    return object.dump();
}

bool plausible_timestamp(std::uint32_t timestamp) {
    constexpr std::int64_t k1995 = 788918400;
    const std::int64_t latest = static_cast<std::int64_t>(std::time(nullptr)) + 86400;
    return timestamp >= k1995 && static_cast<std::int64_t>(timestamp) <= latest;
}

std::optional<std::string> timestamp_text(std::uint32_t timestamp) {
    if (!plausible_timestamp(timestamp)) {
        return std::nullopt;
    }
    const std::time_t time = timestamp;
    std::tm parts{};
    ::gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return std::string(text);
}

}  // namespace tarnwick_dat
