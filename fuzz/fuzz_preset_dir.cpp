// A generated backup folder for the folder model: the input is a little program that builds a
// folder tree in a fresh scratch folder (bank folders and stray ones, odd and non-UTF-8 names,
// preset texts and arbitrary bytes, empty and huge sparse files, FIFOs, links to files, to
// folders, to nowhere, to a FIFO and to /dev/zero, duplicate ids). The model is loaded on it
// and must account for every entry once, read no link and nothing but regular files, never
// block and never read a file larger than a preset may be; what a restore would send holds
// each id once and nothing too large. Then the tree is removed.
#include "preset_files.h"
#include "preset_fuzz_support.h"
#include "preset_text.h"
#include "presets_dir.h"

#include <QByteArray>
#include <QFile>
#include <QTextCodec>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char* what) {
    quillmar::fuzz::fail("fuzz_preset_dir", what);
}

// Most steps one input takes, so one run stays small.
constexpr int max_steps = 48;
static_assert(max_steps >= 16, "An input must be able to build a tree of several folders.");

// The bytes of the input, read from the front; zeros once they run out.
class input {
public:
    input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string bytes(std::size_t count) {
        std::string out;
        while (count-- > 0 && !empty()) {
            out += static_cast<char>(byte());
        }
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

const std::array<const char*, 10> folder_names{"BANK A",  "BANK B", "BANK C",   "BANK D",
                                               "bank a",  "Bank c", "__MACOSX", "BANK E",
                                               ".hidden", "BANK D "};

// A name for an entry: a preset file name, raw bytes (non-UTF-8 ones included) or a few odd
// ones. Never empty, ".", ".." or holding "/" or NUL.
std::string entry_name(input& in) {
    switch (in.byte() % 5) {
    case 0:
        return std::to_string(in.byte()) + ".P" + std::to_string(in.byte() % 4) + ".txt";
    case 1: {
        std::string raw = in.bytes(1 + in.byte() % 12);
        for (char& c : raw) {
            if (c == '/' || c == '\0') {
                c = '_';
            }
        }
        return raw.empty() || raw == "." || raw == ".." ? std::string("x") : raw;
    }
    case 2:
        return "00" + std::to_string(in.byte() % 10) + ".\xff\xfe" + ".txt";
    case 3:
        return ".hidden.txt";
    default:
        return "005.copy.txt";
    }
}

bool write_file(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        return false;
    }
    const bool written =
        ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    return written;
}

// A preset text with the given id and a short name.
std::string preset_text(std::uint32_t id, input& in) {
    proto::Preset preset;
    preset.set_id(id);
    preset.set_name(in.bytes(in.byte() % 6));
    if (in.byte() % 2 != 0) {
        preset.mutable_vcf()->set_input_cutoff(0.5f);
    }
    return print_preset(preset);
}

// Builds the tree the input describes below `backup`; `outside` holds link targets.
void build_tree(input& in, const std::string& backup, const std::string& outside) {
    std::vector<std::string> folders;
    std::string last_content = "id: 5\n";
    for (int step = 0; step < max_steps && !in.empty(); ++step) {
        const std::uint8_t op = in.byte() % 12;
        if (op == 0 || folders.empty()) {
            const std::uint8_t pick = in.byte();
            const std::string name =
                pick < 200 ? folder_names[pick % folder_names.size()] : entry_name(in);
            ::mkdir((backup + "/" + name).c_str(), 0755);
            folders.push_back(backup + "/" + name);
            continue;
        }
        const std::string& folder = folders[in.byte() % folders.size()];
        const std::string path = folder + "/" + entry_name(in);
        switch (op) {
        case 1:
        case 2:
            last_content = preset_text(in.byte(), in);
            write_file(path, last_content);
            break;
        case 3:
            last_content = in.bytes(in.byte());
            write_file(path, last_content);
            break;
        case 4:
            write_file(path, std::string());
            break;
        case 5: {
            // Sparse: the size costs no room.
            static constexpr std::array<off_t, 4> sizes{
                static_cast<off_t>(max_preset_size), static_cast<off_t>(max_preset_size) + 1,
                off_t{200} * 1024 * 1024, off_t{3} * 1024 * 1024 * 1024};
            if (write_file(path, "id: 1\n")) {
                ::truncate(path.c_str(), sizes[in.byte() % sizes.size()]);
            }
            break;
        }
        case 6: {
            const std::array<std::string, 7> targets{outside + "/target.txt",
                                                     outside + "/dir",
                                                     outside + "/missing",
                                                     outside + "/fifo",
                                                     "/dev/zero",
                                                     ".",
                                                     ".."};
            ::symlink(targets[in.byte() % targets.size()].c_str(), path.c_str());
            break;
        }
        case 7:
            ::mkfifo(path.c_str(), 0600);
            break;
        case 8:
            ::mkdir(path.c_str(), 0755);
            break;
        case 9:
            // Another file with the content (and so the id) of the last one written.
            write_file(path, last_content);
            break;
        case 10:
            ::symlink((outside + "/dir").c_str(),
                      (backup + "/" + folder_names[in.byte() % 4]).c_str());
            break;
        default:
            ::symlink((outside + "/target.txt").c_str(), (backup + "/BANK B").c_str());
            break;
        }
    }
}

bool bank_name(const std::string& name, unsigned bank) {
    const std::string wanted = bank_folder_names[bank];
    if (name.size() != wanted.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c =
            name[i] >= 'a' && name[i] <= 'z' ? static_cast<char>(name[i] - 'a' + 'A') : name[i];
        if (c != wanted[i]) {
            return false;
        }
    }
    return true;
}

// What lies in the bank folders of `backup`, counted independently of the model: the
// entries a restore has to account for (all but sub-folders and hidden names), and the
// regular files among them.
struct census {
    std::size_t entries = 0;
    std::size_t regular = 0;
};

census count_entries(const std::string& backup) {
    census c;
    DIR* top = ::opendir(backup.c_str());
    if (top == nullptr) {
        fail("the backup folder vanished");
    }
    while (const dirent* bank_entry = ::readdir(top)) {
        const std::string bank_name_raw = bank_entry->d_name;
        bool is_bank = false;
        for (unsigned bank = 0; bank < bank_count; ++bank) {
            is_bank |= bank_name(bank_name_raw, bank);
        }
        struct stat st {};
        const std::string folder = backup + "/" + bank_name_raw;
        if (!is_bank || ::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            continue;
        }
        DIR* files = ::opendir(folder.c_str());
        if (files == nullptr) {
            continue;
        }
        while (const dirent* entry = ::readdir(files)) {
            const std::string name = entry->d_name;
            struct stat est {};
            if (name.empty() || name[0] == '.' ||
                ::lstat((folder + "/" + name).c_str(), &est) != 0 || S_ISDIR(est.st_mode)) {
                continue;
            }
            ++c.entries;
            if (S_ISREG(est.st_mode)) {
                ++c.regular;
            }
        }
        ::closedir(files);
    }
    ::closedir(top);
    return c;
}

void check_model(const preset_dir& model, const std::string& backup) {
    std::size_t loaded = 0;
    std::size_t damaged = 0;
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        if (model.presets[bank].size() != model.files[bank].size()) {
            fail("a bank has presets and handles of different lengths");
        }
        for (std::size_t place = 0; place < model.files[bank].size(); ++place) {
            ++loaded;
            const QByteArray path = QFile::encodeName(model.files[bank][place]->fileName());
            struct stat st {};
            if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
                fail("a handle names something other than a regular file");
            }
            const std::string text = path.toStdString();
            const std::size_t slash = text.rfind('/');
            const std::size_t folder_slash = text.rfind('/', slash - 1);
            if (text.compare(0, folder_slash, backup) != 0 ||
                !bank_name(text.substr(folder_slash + 1, slash - folder_slash - 1), bank)) {
                fail("a handle names a file outside its bank folder");
            }
            const bool intact = model.is_intact(bank, static_cast<unsigned>(place));
            if (static_cast<std::uint64_t>(st.st_size) > max_preset_size && intact) {
                fail("a file larger than a preset counts as intact");
            }
            damaged += intact ? 0 : 1;
        }
    }
    const census c = count_entries(backup);
    // Each entry of a bank folder is either loaded or counted as left out, never both and
    // never neither (a damaged entry is loaded and counted).
    if (loaded + model.left_out_count() - damaged != c.entries) {
        fail("an entry of a bank folder was neither loaded nor counted");
    }
    if (loaded > c.regular) {
        fail("more entries loaded than there are regular files");
    }

    const restore_selection selection = select_for_restore(model);
    std::set<std::uint32_t> ids;
    for (const proto::Preset& preset : selection.presets) {
        if (!ids.insert(preset.id()).second) {
            fail("a restore would send one id twice");
        }
        if (preset.ByteSizeLong() > max_preset_size) {
            fail("a restore would send a preset larger than the cap");
        }
    }
    if (selection.presets.size() + selection.clashing() +
            (selection.damaged - model.left_out_count()) !=
        loaded - damaged) {
        fail("an intact preset was neither sent nor reported");
    }
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quillmar::fuzz::silence_logs();
    // As the application runs: Qt switches a program in the C locale to UTF-8.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QByteArray scratch = QFile::encodeName(quillmar::fuzz::scratch_template());
    if (::mkdtemp(scratch.data()) == nullptr) {
        fail("cannot make a scratch folder");
    }
    const std::string root = scratch.toStdString();
    const std::string backup = root + "/21_01_02_03_04";
    const std::string outside = root + "/outside";
    if (::mkdir(backup.c_str(), 0755) != 0 || ::mkdir(outside.c_str(), 0755) != 0 ||
        ::mkdir((outside + "/dir").c_str(), 0755) != 0 ||
        ::mkfifo((outside + "/fifo").c_str(), 0600) != 0 ||
        !write_file(outside + "/target.txt", "id: 7\nname: \"outside\"\n") ||
        !write_file(outside + "/dir/007.inside.txt", "id: 7\n")) {
        fail("cannot prepare the scratch folder");
    }

    input in(data, size);
    // The first byte tells whether the editing operations run on the loaded tree.
    const bool edit = in.byte() % 2 != 0;
    build_tree(in, backup, outside);
    {
        preset_dir model(QFile::decodeName(QByteArray::fromStdString(backup)));
        check_model(model, backup);
        if (edit) {
            // The editing operations on the odd tree keep the model's invariants.
            model.reindex_all();
            model.update();
            check_model(model, backup);
        }
    }

    if (::nftw(root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS) != 0) {
        fail("cannot remove the scratch folder");
    }
    return 0;
}
