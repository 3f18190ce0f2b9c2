// mount and umount: archives as a read-only file system through libfuse3's
// low-level interface, holding the tree that extract writes.
//
// Nothing is kept per name the kernel looks up: an inode number carries what
// it names (the tree, the kind of node, the type or the file id), so the
// mount's memory is the opened archives, one 4-byte id per listed file, the
// content budget and a few streaming readers of large files (a file that may
// decode to more than 1 MiB is read in pieces, never held whole), whatever
// the readers do.

#include <fmt/format.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "commands.hpp"
#include "error_text.hpp"
#include "values.hpp"

#if TARNWICK_HAVE_FUSE
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include "mount_cache.hpp"
#include "tree_names.hpp"
#endif

extern char** environ;

namespace tarnwick_dat_tool {

namespace {

constexpr std::string_view kFusermount = "fusermount3";

}  // namespace

int run_umount(const UmountOptions& options) {
    // fusermount3 unmounts as the user who mounted, root or not, and
    // reports its own failures.
    std::vector<std::string> words = {std::string(kFusermount), "-u", "--", options.mountpoint};
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    if (const int code = ::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ);
        code != 0) {
        report_error(fmt::format("cannot run {}: {}", kFusermount, std::strerror(code)));
        return kExitFailure;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kExitOk : kExitFailure;
}

#if TARNWICK_HAVE_FUSE

namespace {

using tarnwick_dat::DatDatabase;
using tarnwick_dat::DatFileEntry;
using tarnwick_dat::DatFileType;

// Attributes never change while mounted: the kernel may keep them long.
constexpr double kAttributeSeconds = 86400.0;
// Threads of libfuse's loop. Each keeps a read buffer (and the library a
// payload buffer of at most 4 MiB), so they are few.
constexpr unsigned kMaxThreads = 4;
// Streaming readers of large files kept between reads: two per thread, so
// that a few files read side by side each go on where they were.
constexpr std::size_t kKeptReaders = 2 * kMaxThreads;

// ---------------------------------------------------------------- inodes
//
// bits 0-31: the file id, or the type's value for a type directory;
// bits 32-33: the kind of node; bits 34 and up: the tree's index plus one.
// The mount's root is FUSE_ROOT_ID (1), which no other number can be; with
// one tree (one archive, or --union), the root is that tree's root.

enum class Node : std::uint64_t { TreeRoot = 0, TypeDir = 1, File = 2 };

struct Inode {
    std::size_t tree;
    Node node;
    std::uint32_t value;
};

fuse_ino_t inode_number(std::size_t tree, Node node, std::uint32_t value) {
    return (static_cast<fuse_ino_t>(tree + 1) << 34) | (static_cast<fuse_ino_t>(node) << 32) |
           value;
}

Inode split_inode(fuse_ino_t ino) {
    return Inode{static_cast<std::size_t>(ino >> 34) - 1, static_cast<Node>((ino >> 32) & 3),
                 static_cast<std::uint32_t>(ino)};
}

// ---------------------------------------------------------------- trees

struct Archive {
    std::string path;  // as given, for messages
    std::string name;  // the file's name, the directory it gets side by side
    DatDatabase db;
    timespec mtime{};  // the archive file's, for directories and odd timestamps
    // One bit per entry: a fetch failed and was reported.
    std::vector<bool> failed;
};

struct TypeDir {
    DatFileType type;
    std::vector<std::uint32_t> ids;  // ascending
};

struct Tree {
    std::string name;
    std::vector<std::size_t> archives;  // a later one wins an id
    std::vector<TypeDir> dirs;          // in the order of their first ids
    std::uint64_t files = 0;
    timespec mtime{};
};

// The file a tree shows for `id`: the last of its archives that lists it.
struct Found {
    std::size_t archive;
    const DatFileEntry* entry;
};

class Mount {
  public:
    Mount(std::vector<Archive> archives, bool combine, std::size_t cache_bytes)
        : archives_(std::move(archives)), budget_(cache_bytes), readers_(kKeptReaders) {
        if (combine || archives_.size() == 1) {
            Tree tree;
            for (std::size_t i = 0; i < archives_.size(); ++i) {
                tree.archives.push_back(i);
            }
            trees_.push_back(std::move(tree));
        } else {
            for (std::size_t i = 0; i < archives_.size(); ++i) {
                trees_.push_back(Tree{archives_[i].name, {i}, {}, 0, {}});
            }
        }
        for (Tree& tree : trees_) {
            build(tree);
        }
    }

    // ----------------------------------------------------------- requests

    void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
        const std::string_view wanted(name);
        fuse_entry_param entry{};
        entry.attr_timeout = kAttributeSeconds;
        entry.entry_timeout = kAttributeSeconds;
        int code = ENOENT;
        if (parent == FUSE_ROOT_ID && trees_.size() > 1) {
            for (std::size_t t = 0; t < trees_.size(); ++t) {
                if (trees_[t].name == wanted) {
                    code = stat_of(inode_number(t, Node::TreeRoot, 0), entry.attr);
                }
            }
        } else if (const auto at = place(parent); at && at->node == Node::TreeRoot) {
            for (const TypeDir& dir : trees_[at->tree].dirs) {
                if (type_dir_name(dir.type) == wanted) {
                    const auto type = static_cast<std::uint32_t>(dir.type);
                    code = stat_of(inode_number(at->tree, Node::TypeDir, type), entry.attr);
                }
            }
        } else if (at && at->node == Node::TypeDir) {
            const auto id = parse_file_name(wanted);
            const auto found = id ? find(at->tree, *id) : std::nullopt;
            if (found && static_cast<std::uint32_t>(archives_[found->archive].db.file_type(*id)) ==
                             at->value) {
                code = stat_of(inode_number(at->tree, Node::File, *id), entry.attr);
            }
        } else if (!at) {
            code = ENOENT;
        } else {
            code = ENOTDIR;
        }
        if (code != 0) {
            fuse_reply_err(req, code);
            return;
        }
        entry.ino = entry.attr.st_ino;
        fuse_reply_entry(req, &entry);
    }

    void getattr(fuse_req_t req, fuse_ino_t ino) {
        struct stat attr {};
        if (const int code = stat_of(ino, attr); code != 0) {
            fuse_reply_err(req, code);
            return;
        }
        fuse_reply_attr(req, &attr, kAttributeSeconds);
    }

    // Lists a directory; with `plus`, each entry with its attributes, which
    // spares the kernel a lookup per name.
    void readdir(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset, bool plus) {
        const auto listing = children(ino);
        if (!listing) {
            fuse_reply_err(req, ENOTDIR);
            return;
        }
        std::vector<char> buffer(std::min<std::size_t>(size, std::size_t{1} << 20));
        std::size_t used = 0;
        // Entry k of the listing (".", "..", then the children) is followed
        // by offset k + 1.
        const auto add = [&](const Child& child, std::size_t next, bool dots) {
            char* at = buffer.data() + used;
            const std::size_t room = buffer.size() - used;
            fuse_entry_param entry{};
            if (plus && !dots && stat_of(child.ino, entry.attr) == 0) {
                entry.ino = child.ino;
                entry.attr_timeout = kAttributeSeconds;
                entry.entry_timeout = kAttributeSeconds;
            } else {
                // No attributes (or none to be had): a plain name.
                entry.attr = {};
                entry.attr.st_ino = child.ino;
                entry.attr.st_mode = child.mode;
            }
            const auto position = static_cast<off_t>(next);
            const std::size_t length =
                plus ? fuse_add_direntry_plus(req, at, room, child.name.c_str(), &entry, position)
                     : fuse_add_direntry(req, at, room, child.name.c_str(), &entry.attr, position);
            if (length > room) {
                return false;
            }
            used += length;
            return true;
        };
        const std::size_t count = listing->count + 2;
        for (auto k = static_cast<std::size_t>(std::max<off_t>(offset, 0)); k < count; ++k) {
            const bool dots = k < 2;
            const Child child =
                dots ? Child{k == 0 ? "." : "..", ino, S_IFDIR} : listing->at(k - 2);
            if (!add(child, k + 1, dots)) {
                break;
            }
        }
        fuse_reply_buf(req, buffer.data(), used);
    }

    // Asks the kernel not to send opens (nor releases) where it can do
    // without: every open would succeed alike, and a read needs no handle.
    void init(fuse_conn_info* conn) {
        for (const unsigned capability : {FUSE_CAP_NO_OPEN_SUPPORT, FUSE_CAP_NO_OPENDIR_SUPPORT}) {
            if ((conn->capable & capability) != 0) {
                conn->want |= capability;
            }
        }
        no_open_ = (conn->want & FUSE_CAP_NO_OPEN_SUPPORT) != 0;
    }

    void opendir(fuse_req_t req, fuse_file_info* info) {
        if (no_open_) {
            fuse_reply_err(req, ENOSYS);
            return;
        }
        fuse_reply_open(req, info);
    }

    void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* info) {
        if ((info->flags & O_ACCMODE) != O_RDONLY) {
            fuse_reply_err(req, EROFS);
            return;
        }
        if (no_open_) {
            fuse_reply_err(req, ENOSYS);  // the kernel opens by itself from now on
            return;
        }
        const auto at = place(ino);
        if (!at || at->node != Node::File) {
            fuse_reply_err(req, at ? EISDIR : ENOENT);
            return;
        }
        // The archive cannot change under the mount: pages read once stay.
        info->keep_cache = 1;
        fuse_reply_open(req, info);
    }

    void read(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset) {
        const auto at = place(ino);
        const auto found = at && at->node == Node::File ? find(at->tree, at->value) : std::nullopt;
        if (!found) {
            fuse_reply_err(req, ENOENT);
            return;
        }
        thread_local tarnwick_dat::Bytes out;
        out.resize(std::min<std::size_t>(size, std::size_t{1} << 20));
        std::size_t copied = 0;
        const int code = fetch(*found, static_cast<std::uint64_t>(std::max<off_t>(offset, 0)),
                               std::span<std::uint8_t>(out), copied);
        if (code != 0) {
            fuse_reply_err(req, code);
            return;
        }
        fuse_reply_buf(req, reinterpret_cast<const char*>(out.data()), copied);
    }

    void statfs(fuse_req_t req) {
        // The archives' own figures: their block size (the first's when they
        // differ), their length in blocks, the free blocks their headers
        // count, and their files. Nothing is writable.
        struct statvfs figures {};
        const std::uint32_t block = archives_.front().db.header().block_size;
        std::uint64_t bytes = 0;
        std::uint64_t free_blocks = 0;
        for (const Archive& archive : archives_) {
            bytes += archive.db.archive_length();
            free_blocks += archive.db.header().free_count;
        }
        figures.f_bsize = block;
        figures.f_frsize = block;
        figures.f_blocks = (bytes + block - 1) / block;
        figures.f_bfree = std::min<std::uint64_t>(free_blocks, figures.f_blocks);
        figures.f_bavail = 0;
        for (const Tree& tree : trees_) {
            figures.f_files += tree.files;
        }
        figures.f_ffree = 0;
        figures.f_namemax = 255;
        fuse_reply_statfs(req, &figures);
    }

  private:
    struct Child {
        std::string name;
        fuse_ino_t ino;
        mode_t mode;
    };
    struct Listing {
        const Mount* mount;
        fuse_ino_t ino;
        std::size_t count;
        Child at(std::size_t k) const { return mount->child(ino, k); }
    };

    // The tree and node an inode number names, when it names one.
    std::optional<Inode> place(fuse_ino_t ino) const {
        if (ino == FUSE_ROOT_ID) {
            if (trees_.size() > 1) {
                return std::nullopt;  // the root above the trees
            }
            return Inode{0, Node::TreeRoot, 0};
        }
        const Inode at = split_inode(ino);
        if ((ino >> 34) == 0 || at.tree >= trees_.size() || at.node > Node::File) {
            return std::nullopt;
        }
        if (at.node == Node::TreeRoot && (at.value != 0 || trees_.size() == 1)) {
            return std::nullopt;
        }
        if (at.node == Node::TypeDir && dir_of(at.tree, at.value) == nullptr) {
            return std::nullopt;
        }
        return at;
    }

    const TypeDir* dir_of(std::size_t tree, std::uint32_t type) const {
        for (const TypeDir& dir : trees_[tree].dirs) {
            if (static_cast<std::uint32_t>(dir.type) == type) {
                return &dir;
            }
        }
        return nullptr;
    }

    std::optional<Found> find(std::size_t tree, std::uint32_t id) const {
        const std::vector<std::size_t>& order = trees_[tree].archives;
        for (auto a = order.rbegin(); a != order.rend(); ++a) {
            if (const DatFileEntry* entry = archives_[*a].db.files().find(id)) {
                return Found{*a, entry};
            }
        }
        return std::nullopt;
    }

    std::optional<Listing> children(fuse_ino_t ino) const {
        if (ino == FUSE_ROOT_ID && trees_.size() > 1) {
            return Listing{this, ino, trees_.size()};
        }
        const auto at = place(ino);
        if (!at || at->node == Node::File) {
            return std::nullopt;
        }
        if (at->node == Node::TreeRoot) {
            return Listing{this, ino, trees_[at->tree].dirs.size()};
        }
        return Listing{this, ino, dir_of(at->tree, at->value)->ids.size()};
    }

    Child child(fuse_ino_t ino, std::size_t k) const {
        if (ino == FUSE_ROOT_ID && trees_.size() > 1) {
            return {trees_[k].name, inode_number(k, Node::TreeRoot, 0), S_IFDIR};
        }
        const Inode at = *place(ino);
        if (at.node == Node::TreeRoot) {
            const DatFileType type = trees_[at.tree].dirs[k].type;
            return {std::string(type_dir_name(type)),
                    inode_number(at.tree, Node::TypeDir, static_cast<std::uint32_t>(type)),
                    S_IFDIR};
        }
        const std::uint32_t id = dir_of(at.tree, at.value)->ids[k];
        return {file_name(id), inode_number(at.tree, Node::File, id), S_IFREG};
    }

    int stat_of(fuse_ino_t ino, struct stat& attr) {
        attr = {};
        attr.st_ino = ino;
        attr.st_uid = uid_;
        attr.st_gid = gid_;
        attr.st_blksize = 4096;
        if (ino == FUSE_ROOT_ID && trees_.size() > 1) {
            attr.st_mode = S_IFDIR | 0555;
            attr.st_nlink = 2 + trees_.size();
            timespec newest{};
            for (const Tree& tree : trees_) {
                if (std::tie(tree.mtime.tv_sec, tree.mtime.tv_nsec) >
                    std::tie(newest.tv_sec, newest.tv_nsec)) {
                    newest = tree.mtime;
                }
            }
            attr.st_mtim = attr.st_ctim = attr.st_atim = newest;
            return 0;
        }
        const auto at = place(ino);
        if (!at) {
            return ENOENT;
        }
        const Tree& tree = trees_[at->tree];
        if (at->node != Node::File) {
            attr.st_mode = S_IFDIR | 0555;
            attr.st_nlink = at->node == Node::TreeRoot ? 2 + tree.dirs.size() : 2;
            attr.st_mtim = attr.st_ctim = attr.st_atim = tree.mtime;
            return 0;
        }
        const auto found = find(at->tree, at->value);
        if (!found) {
            return ENOENT;
        }
        Archive& archive = archives_[found->archive];
        const auto size = archive.db.decoded_size(found->entry->id);
        if (!size) {
            report_once(*found, error_line(size.error()));
            return EIO;
        }
        attr.st_mode = S_IFREG | 0444;
        attr.st_nlink = 1;
        attr.st_size = static_cast<off_t>(*size);
        attr.st_blocks = static_cast<blkcnt_t>((*size + 511) / 512);
        attr.st_mtim = plausible_time(found->entry->timestamp)
                           ? timespec{static_cast<time_t>(found->entry->timestamp), 0}
                           : archive.mtime;
        attr.st_ctim = attr.st_atim = attr.st_mtim;
        return 0;
    }

    // Copies the file's bytes from `offset` into `out`; 0 or an errno.
    int fetch(const Found& found, std::uint64_t offset, std::span<std::uint8_t> out,
              std::size_t& copied) {
        Archive& archive = archives_[found.archive];
        const DatFileEntry& entry = *found.entry;
        if (has_failed(found)) {
            return EIO;
        }
        if (!fetched_whole(entry)) {
            return fetch_streamed(found, offset, out, copied);
        }
        if (entry.is_compressed()) {
            const auto declared = archive.db.decoded_size(entry.id);
            if (!declared) {
                report_once(found, error_line(declared.error()));
                return EIO;
            }
            // read_file_into holds the stored payload and the decoded bytes.
            const std::uint64_t need = std::uint64_t{entry.size} + *declared;
            const std::uint64_t key = (std::uint64_t{found.archive} << 32) | entry.id;
            std::string failure;
            const auto outcome = budget_.read_kept(
                key, static_cast<std::size_t>(std::min<std::uint64_t>(need, SIZE_MAX)),
                [&](tarnwick_dat::Bytes& bytes) {
                    auto read = archive.db.read_file_into(entry.id, bytes, {.strict = true});
                    if (!read) {
                        failure = error_line(read.error());
                    }
                    return read.has_value();
                },
                offset, out, copied);
            if (outcome == ContentBudget::Outcome::Ok) {
                return 0;
            }
            report_once(found, outcome == ContentBudget::Outcome::TooLarge ? too_large(need)
                                                                           : std::move(failure));
            return EIO;
        }
        // A stored file is read from its blocks, as far as the read goes.
        const std::uint64_t end = std::min<std::uint64_t>(entry.size, offset + out.size());
        if (offset >= end) {
            copied = 0;
            return 0;
        }
        if (!budget_.reserve(static_cast<std::size_t>(end))) {
            report_once(found, too_large(end));
            return EIO;
        }
        tarnwick_dat::Bytes bytes;
        auto read =
            archive.db.read_file_data_into(entry.offset, static_cast<std::uint32_t>(end), bytes);
        if (read) {
            copied = static_cast<std::size_t>(end - offset);
            std::memcpy(out.data(), bytes.data() + offset, copied);
        }
        bytes = {};
        budget_.release(static_cast<std::size_t>(end));
        if (!read) {
            report_once(found, error_line(read.error()));
            return EIO;
        }
        return 0;
    }

    // A large file's bytes from `offset`, through a streaming reader that an
    // earlier read left at or before it (or a new one): reading a file from
    // start to end decodes it once, and nothing holds it whole. A read
    // behind every kept reader starts over from the file's start.
    int fetch_streamed(const Found& found, std::uint64_t offset, std::span<std::uint8_t> out,
                       std::size_t& copied) {
        Archive& archive = archives_[found.archive];
        const std::uint64_t key = (std::uint64_t{found.archive} << 32) | found.entry->id;
        if (out.empty()) {
            return 0;
        }
        std::optional<tarnwick_dat::FileReader> reader = readers_.take(key, offset);
        if (!reader) {
            auto opened = archive.db.open_file(found.entry->id);
            if (!opened) {
                report_once(found, error_line(opened.error()));
                return EIO;
            }
            reader.emplace(std::move(opened).value());
        }
        copied = 0;
        // What lies before `offset` is read into `out` and let go.
        while (reader->position() < offset) {
            const auto skip = static_cast<std::size_t>(
                std::min<std::uint64_t>(out.size(), offset - reader->position()));
            auto got = reader->read(out.first(skip));
            if (!got) {
                report_once(found, error_line(got.error()));
                return EIO;
            }
            if (*got < skip) {
                return 0;  // past the end
            }
        }
        auto got = reader->read(out);
        if (!got) {
            report_once(found, error_line(got.error()));
            return EIO;
        }
        copied = *got;
        readers_.give(key, std::move(*reader));
        return 0;
    }

    std::string too_large(std::uint64_t need) const {
        return fmt::format(
            "reading it takes {} bytes, more than the cache of {} bytes (--cache-size)", need,
            budget_.limit());
    }

    bool has_failed(const Found& found) const {
        const std::lock_guard lock(failed_mutex_);
        const Archive& archive = archives_[found.archive];
        return archive.failed[static_cast<std::size_t>(found.entry - archive.db.files().begin())];
    }

    // Names the file on standard error the first time it fails; it reads
    // as EIO from then on.
    void report_once(const Found& found, const std::string& why) {
        Archive& archive = archives_[found.archive];
        const auto index = static_cast<std::size_t>(found.entry - archive.db.files().begin());
        {
            const std::lock_guard lock(failed_mutex_);
            if (archive.failed[index]) {
                return;
            }
            archive.failed[index] = true;
        }
        report_file_error(archive.path, found.entry->id, why);
    }

    // Lists the tree's files by type: every id once, from the last archive
    // that lists it, its type as that archive's kind classifies it.
    void build(Tree& tree) {
        std::map<DatFileType, std::size_t> slot;
        std::vector<std::uint32_t> counts;
        const auto visit = [&](auto&& each) {
            // Merges the archives' ascending tables; for an id several list,
            // the last archive's entry is the one shown.
            std::vector<std::span<const DatFileEntry>> rest;
            for (const std::size_t a : tree.archives) {
                rest.push_back(archives_[a].db.files().entries());
            }
            for (;;) {
                std::optional<std::uint32_t> lowest;
                for (const auto& entries : rest) {
                    if (!entries.empty() && (!lowest || entries.front().id < *lowest)) {
                        lowest = entries.front().id;
                    }
                }
                if (!lowest) {
                    return;
                }
                std::size_t winner = 0;
                for (std::size_t i = 0; i < rest.size(); ++i) {
                    if (!rest[i].empty() && rest[i].front().id == *lowest) {
                        winner = i;
                        rest[i] = rest[i].subspan(1);
                    }
                }
                each(*lowest, archives_[tree.archives[winner]].db.file_type(*lowest));
            }
        };
        visit([&](std::uint32_t, DatFileType type) {
            const auto [at, added] = slot.emplace(type, counts.size());
            if (added) {
                counts.push_back(0);
                tree.dirs.push_back(TypeDir{type, {}});
            }
            ++counts[at->second];
            ++tree.files;
        });
        for (std::size_t i = 0; i < tree.dirs.size(); ++i) {
            tree.dirs[i].ids.reserve(counts[i]);
        }
        visit([&](std::uint32_t id, DatFileType type) {
            tree.dirs[slot.at(type)].ids.push_back(id);
        });
        for (const std::size_t a : tree.archives) {
            const timespec& mtime = archives_[a].mtime;
            if (std::tie(mtime.tv_sec, mtime.tv_nsec) >
                std::tie(tree.mtime.tv_sec, tree.mtime.tv_nsec)) {
                tree.mtime = mtime;
            }
        }
    }

    std::vector<Archive> archives_;
    std::vector<Tree> trees_;
    ContentBudget budget_;
    ReaderPool readers_;
    mutable std::mutex failed_mutex_;
    bool no_open_ = false;
    uid_t uid_ = ::getuid();
    gid_t gid_ = ::getgid();
};

// ------------------------------------------------------ libfuse callbacks

Mount& mount_of(fuse_req_t req) {
    return *static_cast<Mount*>(fuse_req_userdata(req));
}

extern "C" void on_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    mount_of(req).lookup(req, parent, name);
}
extern "C" void on_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    mount_of(req).getattr(req, ino);
}
extern "C" void on_readdir(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset,
                           fuse_file_info*) {
    mount_of(req).readdir(req, ino, size, offset, false);
}
extern "C" void on_readdirplus(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset,
                               fuse_file_info*) {
    mount_of(req).readdir(req, ino, size, offset, true);
}
extern "C" void on_init(void* mount, fuse_conn_info* conn) {
    static_cast<Mount*>(mount)->init(conn);
}
extern "C" void on_opendir(fuse_req_t req, fuse_ino_t, fuse_file_info* info) {
    mount_of(req).opendir(req, info);
}
extern "C" void on_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* info) {
    mount_of(req).open(req, ino, info);
}
extern "C" void on_read(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset,
                        fuse_file_info*) {
    mount_of(req).read(req, ino, size, offset);
}
extern "C" void on_statfs(fuse_req_t req, fuse_ino_t) {
    mount_of(req).statfs(req);
}

// A value for a -o option: commas and backslashes escaped.
std::string option_value(std::string_view text) {
    std::string value;
    for (const char c : text) {
        if (c == ',' || c == '\\') {
            value += '\\';
        }
        value += c;
    }
    return value;
}

class FuseArgs {
  public:
    explicit FuseArgs(const std::vector<std::string>& words) {
        for (const std::string& word : words) {
            fuse_opt_add_arg(&args_, word.c_str());
        }
    }
    ~FuseArgs() { fuse_opt_free_args(&args_); }
    FuseArgs(const FuseArgs&) = delete;
    FuseArgs& operator=(const FuseArgs&) = delete;
    fuse_args* get() { return &args_; }

  private:
    fuse_args args_ = FUSE_ARGS_INIT(0, nullptr);
};

// Serves the mount until it is unmounted or a signal ends it.
int serve(Mount& mount, const std::string& mountpoint, const std::string& fs_name,
          bool foreground) {
    fuse_lowlevel_ops ops{};
    ops.lookup = on_lookup;
    ops.getattr = on_getattr;
    ops.init = on_init;
    ops.readdir = on_readdir;
    ops.readdirplus = on_readdirplus;
    ops.opendir = on_opendir;
    ops.open = on_open;
    ops.read = on_read;
    ops.statfs = on_statfs;
    FuseArgs args({"tarnwick-dat", "-o",
                   "ro,default_permissions,subtype=tarnwick-dat,fsname=" + option_value(fs_name)});
    fuse_session* session = fuse_session_new(args.get(), &ops, sizeof ops, &mount);
    if (session == nullptr) {
        report_error("cannot start the file system (libfuse refused its options)");
        return kExitFailure;
    }
    int status = kExitFailure;
    if (fuse_set_signal_handlers(session) != 0) {
        report_error("cannot install the signal handlers");
    } else {
        if (fuse_session_mount(session, mountpoint.c_str()) != 0) {
            report_error(
                fmt::format("cannot mount on '{}' (see libfuse's message above)", mountpoint));
        } else {
            fuse_daemonize(foreground ? 1 : 0);
            fuse_loop_config* config = fuse_loop_cfg_create();
            fuse_loop_cfg_set_max_threads(config, kMaxThreads);
            fuse_loop_cfg_set_idle_threads(config, kMaxThreads);
            status = fuse_session_loop_mt(session, config) == 0 ? kExitOk : kExitFailure;
            fuse_loop_cfg_destroy(config);
            fuse_session_unmount(session);
        }
        fuse_remove_signal_handlers(session);
    }
    fuse_session_destroy(session);
    return status;
}

}  // namespace

int run_mount(const MountOptions& options) {
    if (options.paths.size() < 2) {
        throw UsageError(options.paths.empty() ? "ARCHIVE and MOUNTPOINT are required"
                                               : "MOUNTPOINT is required");
    }
    const std::size_t cache_bytes =
        options.cache_size.empty()
            ? std::size_t{64} << 20
            : static_cast<std::size_t>(parse_size(options.cache_size, "--cache-size size"));
    const std::string& mountpoint = options.paths.back();
    const std::vector<std::string> paths(options.paths.begin(), options.paths.end() - 1);
    std::vector<Archive> archives;
    for (const std::string& path : paths) {
        const std::string name = std::filesystem::path(path).filename().string();
        if (!options.combine) {
            for (const Archive& other : archives) {
                if (other.name == name && paths.size() > 1) {
                    throw UsageError(fmt::format(
                        "two archives are named '{}': side by side each needs a name of its "
                        "own (or use --union)",
                        name));
                }
            }
        }
        if (name.empty() || name == "." || name == "..") {
            throw UsageError(fmt::format("'{}' names no archive file", path));
        }
        auto db = open_archive(path);
        if (!db) {
            return kExitFailure;
        }
        struct stat status {};
        ::stat(path.c_str(), &status);
        archives.push_back(Archive{path, name, std::move(*db), status.st_mtim, {}});
        archives.back().failed.resize(archives.back().db.files().size());
    }
    struct stat status {};
    if (::stat(mountpoint.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        const int code = S_ISDIR(status.st_mode) || status.st_mode == 0 ? errno : ENOTDIR;
        report_error(fmt::format("cannot mount on '{}': {}", mountpoint, std::strerror(code)));
        return kExitFailure;
    }
    const std::string fs_name = "tarnwick-dat:" + archives.front().name;
    Mount mount(std::move(archives), options.combine, cache_bytes);
    flush_out();
    return serve(mount, mountpoint, fs_name, options.foreground);
}

#else

int run_mount(const MountOptions&) {
    report_error("this tarnwick-dat was built without libfuse3: mount is not available");
    return kExitFailure;
}

#endif

}  // namespace tarnwick_dat_tool
