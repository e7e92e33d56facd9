// Test discovery: the directory walk, the source scan on the worker pool, and discover_tests.
#include "discovery.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <iterator>
#include <memory>
#include <new>
#include <set>
#include <utility>

#include "module.hpp"
#include "pool.hpp"

namespace trelkin {

// ---- the walk --------------------------------------------------------------------------
//
// The rules are applied to raw name bytes. That gives the same answers as applying them to
// the names with invalid UTF-8 replaced: every rule is about ASCII bytes at the start, at
// the end or of the whole name, and ASCII bytes pass through the replacement unchanged.

bool is_excluded_name(std::string_view name) {
    static constexpr std::array<std::string_view, 4> excluded = {"__pycache__", "node_modules",
                                                                 "target", "site"};
    if (name.starts_with('.')) return true;
    return std::find(excluded.begin(), excluded.end(), name) != excluded.end();
}

bool is_test_file_name(std::string_view name) {
    return name.ends_with(".py") && (name.starts_with("test") || name.ends_with("_test.py"));
}

namespace {

constexpr std::size_t max_open_streams = 10;

struct CloseDirectory {
    void operator()(DIR* stream) const noexcept { ::closedir(stream); }
};
using DirectoryStream = std::unique_ptr<DIR, CloseDirectory>;

struct ListedEntry {
    std::string name;
    unsigned char type;  // d_type as the listing gave it
};

// One directory on the current path from the root down. Its entries come from its stream
// while that is open, and from `listed` once the stream has been drained and closed.
struct OpenDirectory {
    std::string prefix;  // the directory's path with the separator its children's paths add
    DirectoryStream stream;
    std::vector<ListedEntry> listed;
    std::size_t next_listed = 0;
    dev_t device;
    ino_t inode;
};

// A path that cannot be handed to the C library (it would be cut at the NUL).
bool has_nul(std::string_view path) {
    return path.find('\0') != std::string_view::npos;
}

// "tests" -> "tests/", but "tests/" and "/" stay as they are.
std::string separated(std::string path) {
    if (!path.ends_with('/')) path.push_back('/');
    return path;
}

// The next real entry of a stream (not "." or ".."), or null at its end or on a listing
// error; the error ends that directory's listing and is otherwise dropped.
const dirent* read_entry(DIR* stream) {
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") return entry;
    }
    return nullptr;
}

class TreeWalk {
public:
    explicit TreeWalk(std::vector<std::string>& found) : found_(found) {}

    // Walks the directory `root`, which is the entry at depth 0 and so never pruned.
    void run(const std::string& root) {
        enter(separated(root));
        while (!path_.empty()) {
            OpenDirectory& current = path_.back();
            std::string child;
            unsigned char type = DT_UNKNOWN;
            if (!next_entry(current, child, type)) {
                if (current.stream) --open_streams_;
                path_.pop_back();
                continue;
            }
            visit(std::move(child), path_.back().prefix.size(), type);
        }
    }

private:
    // Sets `child` to the full path of the directory's next entry. False at its end.
    static bool next_entry(OpenDirectory& directory, std::string& child, unsigned char& type) {
        if (directory.stream) {
            const dirent* entry = read_entry(directory.stream.get());
            if (entry == nullptr) return false;
            child = directory.prefix + entry->d_name;
            type = entry->d_type;
            return true;
        }
        if (directory.next_listed == directory.listed.size()) return false;
        const ListedEntry& entry = directory.listed[directory.next_listed++];
        child = directory.prefix + entry.name;
        type = entry.type;
        return true;
    }

    // One entry below the root; `name_at` is where its name begins in `path`.
    void visit(std::string path, std::size_t name_at, unsigned char type) {
        const std::string_view name = std::string_view(path).substr(name_at);
        if (is_excluded_name(name)) return;
        struct stat status;
        bool through_link = false;
        switch (type) {
            case DT_REG:
                select_file(path, name);
                return;
            case DT_DIR:
                enter(separated(std::move(path)));
                return;
            case DT_LNK:
                through_link = true;
                break;
            case DT_UNKNOWN:
                // The listing did not say: ask without following, so a link is known as one.
                if (::lstat(path.c_str(), &status) != 0) return;
                through_link = S_ISLNK(status.st_mode);
                break;
            default:
                return;  // devices, pipes and sockets are never selected nor opened
        }
        if (through_link && ::stat(path.c_str(), &status) != 0) return;  // dangling link
        if (S_ISREG(status.st_mode)) {
            select_file(path, name);
        } else if (S_ISDIR(status.st_mode)) {
            if (through_link && !may_follow(path, status)) return;
            enter(separated(std::move(path)));
        }
    }

    // Whether to enter the directory `target` that the link at `path` leads to. Not when it
    // is on the current path (a cycle), nor when this same link was already followed in this
    // walk: with the first rule alone, n directories that all link to each other would be
    // walked along some n! paths. So every link is followed once at most, and the walk
    // enters at most (links + 1) * directories directories.
    bool may_follow(const std::string& path, const struct stat& target) {
        if (on_current_path(target.st_dev, target.st_ino)) return false;
        struct stat link;
        if (::lstat(path.c_str(), &link) != 0) return false;
        return followed_links_.emplace(link.st_dev, link.st_ino).second;
    }

    void select_file(const std::string& path, std::string_view name) {
        if (is_test_file_name(name)) found_.push_back(utf8_lossy(path));
    }

    bool on_current_path(dev_t device, ino_t inode) const {
        return std::any_of(path_.begin(), path_.end(), [&](const OpenDirectory& directory) {
            return directory.device == device && directory.inode == inode;
        });
    }

    // Opens a directory and makes it the deepest on the current path. A directory that
    // cannot be opened is left out.
    void enter(std::string prefix) {
        if (open_streams_ == max_open_streams) drain_oldest_stream();
        DirectoryStream stream(::opendir(prefix.c_str()));
        if (!stream) return;
        struct stat status;
        if (::fstat(::dirfd(stream.get()), &status) != 0) return;
        path_.push_back(OpenDirectory{
            std::move(prefix), std::move(stream), {}, 0, status.st_dev, status.st_ino});
        ++open_streams_;
    }

    // Reads the remaining entries of the open directory nearest the root into memory and
    // closes its stream.
    void drain_oldest_stream() {
        auto oldest = std::find_if(path_.begin(), path_.end(), [](const OpenDirectory& directory) {
            return static_cast<bool>(directory.stream);
        });
        while (const dirent* entry = read_entry(oldest->stream.get())) {
            oldest->listed.push_back(ListedEntry{entry->d_name, entry->d_type});
        }
        oldest->stream.reset();
        --open_streams_;
    }

    std::vector<std::string>& found_;
    std::vector<OpenDirectory> path_;
    std::size_t open_streams_ = 0;
    std::set<std::pair<dev_t, ino_t>> followed_links_;
};

}  // namespace

std::vector<std::string> find_test_files(const std::string& root) {
    std::vector<std::string> found;
    struct stat status;
    if (has_nul(root) || ::stat(root.c_str(), &status) != 0) return found;
    if (S_ISDIR(status.st_mode)) {
        TreeWalk(found).run(root);
    } else if (S_ISREG(status.st_mode)) {
        // A root that is a file has a real last component: its text cannot end in "/", "."
        // or ".." and still name a file.
        const std::size_t slash = root.rfind('/');
        const std::string_view name =
            std::string_view(root).substr(slash == std::string::npos ? 0 : slash + 1);
        if (is_test_file_name(name)) found.push_back(utf8_lossy(root));
    }
    return found;
}

// ---- the source scan -------------------------------------------------------------------

namespace {

// An open file descriptor, closed at the end of the scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
    ~FileDescriptor() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return descriptor_; }

private:
    int descriptor_;
};

// The whole content of a regular file, as long as its status says when it is opened, or
// nothing when it cannot be opened or read. Anything but a regular file is refused before a
// byte is read, and the open itself never blocks, so a pipe whose name came out of the
// replacement of invalid UTF-8 cannot hang the scan. The size bounds the read because some
// files that call themselves regular never end: /proc/self/pagemap reports 0 bytes and
// yields gigabytes.
std::optional<std::string> read_file(const std::string& path) {
    if (has_nul(path)) return std::nullopt;
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) return std::nullopt;
    struct stat status;
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    const auto size = static_cast<std::size_t>(status.st_size);
    std::string content(size, '\0');
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(file.get(), content.data() + filled, size - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) break;  // the file shrank since its status was read
        filled += static_cast<std::size_t>(got);
    }
    content.resize(filled);
    return content;
}

// The attribute names fetched from every node, interned once per process so that no lookup
// makes or hashes a new string.
InternedName body_name{"body"};
InternedName class_name_attribute{"__class__"};
InternedName dunder_name{"__name__"};
InternedName name_name{"name"};
InternedName lineno_name{"lineno"};
InternedName parse_name{"parse"};
InternedName ast_module{"ast"};
InternedName lower_name{"lower"};

enum class NodeKind { function, class_definition, other };

// The kind of a node, told by node.__class__.__name__. Caller holds the lock.
NodeKind node_kind(PyObject* node) {
    PyRef type = check(PyObject_GetAttr(node, class_name_attribute.get()));
    PyRef type_name = check(PyObject_GetAttr(type.get(), dunder_name.get()));
    const std::string_view kind = utf8_view(type_name.get());
    if (kind == "FunctionDef" || kind == "AsyncFunctionDef") return NodeKind::function;
    if (kind == "ClassDef") return NodeKind::class_definition;
    return NodeKind::other;
}

// The line of a test's definition node. Caller holds the lock.
std::uint32_t definition_line(PyObject* node) {
    PyRef lineno = check(PyObject_GetAttr(node, lineno_name.get()));
    return to_u32(lineno.get());
}

// Calls `visit` with each node of `body` (borrowed for the call), through the host's
// iteration protocol. Caller holds the lock.
template <class Visit>
void for_each_node(PyObject* body, Visit&& visit) {
    PyRef iterator = check(PyObject_GetIter(body));
    while (PyRef node = PyRef::steal(PyIter_Next(iterator.get()))) visit(node.get());
    if (PyErr_Occurred()) throw PythonError{};
}

void collect_methods(PyObject* body, const std::string& path, const std::string& class_name,
                     std::vector<TestItem>& items) {
    for_each_node(body, [&](PyObject* node) {
        if (node_kind(node) != NodeKind::function) return;
        PyRef name = check(PyObject_GetAttr(node, name_name.get()));
        const std::string_view method = utf8_view(name.get());
        if (!method.starts_with("test")) return;
        std::string full_name;
        full_name.reserve(class_name.size() + 2 + method.size());
        full_name.append(class_name).append("::").append(method);
        items.push_back(TestItem{path, std::move(full_name), definition_line(node), {}});
    });
}

// The tests of one file, or nothing when it cannot be read. Caller holds the lock; throws
// PythonError when the import, the parse or the walk of the tree fails.
std::optional<std::vector<TestItem>> scan_file(const std::string& path) {
    PyRef ast = import_module(ast_module);
    if (!ast) throw PythonError{};
    std::optional<std::string> content = read_file(path);
    if (!content) return std::nullopt;
    PyRef text = check(
        PyUnicode_DecodeUTF8(content->data(), static_cast<Py_ssize_t>(content->size()), nullptr));
    content.reset();
    PyRef parse = check(PyObject_GetAttr(ast.get(), parse_name.get()));
    PyRef tree = check(PyObject_CallOneArg(parse.get(), text.get()));
    PyRef body = check(PyObject_GetAttr(tree.get(), body_name.get()));

    std::vector<TestItem> items;
    for_each_node(body.get(), [&](PyObject* node) {
        const NodeKind kind = node_kind(node);
        if (kind == NodeKind::other) return;
        PyRef name = check(PyObject_GetAttr(node, name_name.get()));
        const std::string_view text_name = utf8_view(name.get());
        if (kind == NodeKind::function) {
            if (text_name.starts_with("test")) {
                items.push_back(TestItem{path, std::string(text_name), definition_line(node), {}});
            }
            return;
        }
        if (!text_name.starts_with("Test")) return;
        PyRef class_body = PyRef::steal(PyObject_GetAttr(node, body_name.get()));
        if (!class_body) {
            discard_error();  // a class whose body cannot be had is skipped, not the file
            return;
        }
        collect_methods(class_body.get(), path, std::string(text_name), items);
    });
    return items;
}

}  // namespace

std::optional<std::vector<TestItem>> parse_test_file(const std::string& path) {
    AttachThread attached;
    if (!attached.attach()) return std::nullopt;
    try {
        return scan_file(path);
    } catch (const PythonError&) {
        // Dropped unseen; discard_error still lets a PanicException go on as a failure.
        discard_error();
    } catch (const std::bad_alloc&) {
        // A file too large to hold or to walk is skipped like one the host cannot parse.
        if (PyErr_Occurred()) discard_error();
    }
    return std::nullopt;
}

std::vector<TestItem> scan_test_files(const std::vector<std::string>& paths) {
    std::vector<std::optional<std::vector<TestItem>>> per_file(paths.size());
    {
        // Every task takes the lock for its files, so the caller must not hold it while it
        // waits. Each file's slot is written only by the thread that claimed the file.
        ReleaseLock unlocked;
        const std::size_t threads = pool::current_num_threads();
        // Under the interpreter lock every step of a file's scan is serialised: a second
        // scanning thread would only wait for the lock, and take it over mid-file now and
        // then, moving the work between processors (measured 10 to 15% slower on large
        // files). So one thread scans every file; without that lock, every thread scans.
#ifdef Py_GIL_DISABLED
        const std::size_t scanners = threads;
#else
        const std::size_t scanners = 1;
#endif
        // Relaxed: the counters only hand out work; the pool's join publishes the slots.
        std::atomic<std::size_t> started{0};
        std::atomic<std::size_t> next_path{0};
        // Two tasks or more whenever there are two paths or more, so that they go to the pool.
        const std::size_t tasks =
            paths.size() < 2 ? paths.size() : std::max<std::size_t>(threads, 2);
        pool::parallel_for_each(tasks, [&](std::size_t) {
            if (started.fetch_add(1, std::memory_order_relaxed) >= scanners) return;
            // One thread state for all the files this thread scans: attaching a thread that has
            // none creates one (with its frame stack) and detaching deletes it, a cost that,
            // paid per file, made the scan slower than a plain Python loop over the same
            // files. Each file still takes and releases the lock on its own.
            AttachThread session;
            if (!session.attach()) return;  // finalizing: the files are skipped
            ReleaseLock between_files;
            for (std::size_t index = next_path.fetch_add(1, std::memory_order_relaxed);
                 index < paths.size(); index = next_path.fetch_add(1, std::memory_order_relaxed)) {
                per_file[index] = parse_test_file(paths[index]);
            }
        });
    }
    std::size_t total = 0;
    for (const auto& items : per_file) total += items ? items->size() : 0;
    std::vector<TestItem> joined;
    joined.reserve(total);
    for (auto& items : per_file) {
        if (!items) continue;
        joined.insert(joined.end(), std::make_move_iterator(items->begin()),
                      std::make_move_iterator(items->end()));
        items.reset();
    }
    return joined;
}

// ---- discover_tests --------------------------------------------------------------------

namespace {

// The host's own str.lower() of valid UTF-8 text, into `out`: the full default lowercase
// mapping (one character may become several) with the final-sigma rule. Caller holds the
// lock. Throws PythonError.
void host_lowercase_into(std::string_view text, std::string& out) {
    PyRef original = make_str(text);
    PyRef lowered = check(PyObject_CallMethodNoArgs(original.get(), lower_name.get()));
    out.assign(utf8_view(lowered.get()));
}

// The same mapping, done here for ASCII text, where it is the ASCII one.
void lowercase_into(std::string_view text, std::string& out) {
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) {
        host_lowercase_into(text, out);
        return;
    }
    out.assign(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
}

// Keeps, in order, the items whose lowercased name, or else lowercased path, contains the
// lowercased pattern. Caller holds the lock.
std::vector<TestItem> filter_by_pattern(std::vector<TestItem> items, std::string_view pattern) {
    std::vector<TestItem> kept;
    std::string lowered_name;
    // The scan gives each file's items together, so one remembered path spares lowercasing
    // it again for every item of the file.
    std::optional<std::string> cached_path;
    std::string lowered_path;
    for (TestItem& item : items) {
        lowercase_into(item.name, lowered_name);
        bool matches = lowered_name.find(pattern) != std::string::npos;
        if (!matches) {
            if (cached_path != item.path) {
                lowercase_into(item.path, lowered_path);
                cached_path = item.path;
            }
            matches = lowered_path.find(pattern) != std::string::npos;
        }
        if (matches) kept.push_back(std::move(item));
    }
    return kept;
}

// The items in the order of the result: by path bytes, then line, equal keys in their
// given order. Pointers are sorted rather than the records themselves, which are large.
std::vector<TestItem*> sorted_items(std::vector<TestItem>& items) {
    std::vector<TestItem*> order;
    order.reserve(items.size());
    for (TestItem& item : items) order.push_back(&item);
    sort_by_path_then_line(order, [](const TestItem* item) -> const TestItem& { return *item; });
    return order;
}

// A new list of new TestItem objects, in the given order, taking the records over; returns a
// new reference. Throws PythonError, leaving no partial list, when the list or an item
// cannot be made.
PyObject* items_to_list(const std::vector<TestItem*>& order) {
    PyRef list = check(PyList_New(static_cast<Py_ssize_t>(order.size())));
    for (std::size_t i = 0; i < order.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        wrap_test_item(std::move(*order[i])).release());
    }
    return list.release();
}

bool root_exists(const std::string& root) {
    struct stat status;
    return !has_nul(root) && ::stat(root.c_str(), &status) == 0;
}

}  // namespace

PyObject* discover_tests(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_entry([&]() -> PyObject* {
        static const char* const params[] = {"root_dir", "pattern"};
        static const Signature signature{"discover_tests()", params, 1};
        auto slots = bind_arguments(signature, args, static_cast<std::size_t>(nargsf), kwnames);
        const std::string root = convert_argument("root_dir", [&] { return to_text(slots[0]); });
        const std::optional<std::string> pattern =
            convert_argument("pattern", [&] { return to_optional_text(slots[1]); });

        if (!root_exists(root)) return check(PyList_New(0)).release();
        std::optional<std::string> lowered_pattern;
        if (pattern) host_lowercase_into(*pattern, lowered_pattern.emplace());
        // The walk runs with the lock held; only the scan gives it up, for its parallel phase.
        std::vector<TestItem> items = scan_test_files(find_test_files(root));
        if (lowered_pattern) items = filter_by_pattern(std::move(items), *lowered_pattern);
        return items_to_list(sorted_items(items));
    });
}

}  // namespace trelkin
