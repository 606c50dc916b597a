#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "qel_test_util.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> listing(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
    return names;
}

struct stat stat_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st;
}

// An empty list to `name`, then commit or free.
qel_err write_list(const std::string& name, bool commit) {
    qel_writer* w = nullptr;
    if (qel_err err = qel_writer_new_file_replacing(&w, name.c_str(), name.size() + 1)) return err;
    EXPECT_EQ(qel_writer_list_open(w), QEL_SUCCESS);
    EXPECT_EQ(qel_writer_list_close(w), QEL_SUCCESS);
    return commit ? qel_writer_commit(w) : qel_writer_free(w);
}

const std::string kList("_QEL\x01\x00\x00\x30\x00", 9);

}  // namespace

// A regular file changes only on commit, a new file gets the mode fopen
// gives, an existing one keeps its own, and no temporary file is left behind
// either way; so does its owner where the process may give it away. A
// symbolic link or a file with a second link is written in place, so that
// every name still leads to the new contents.
TEST(QelFileReplacing, CommitReplacesAndFreeKeeps) {
    const fs::path folder = temp_path("replacing");
    fs::remove_all(folder);
    fs::create_directory(folder);
    const fs::path file = folder / "out.qel", other = folder / "other.qel";
    const mode_t mask = umask(027);
    const uid_t owner = geteuid() == 0 ? 4321 : geteuid();
    enum Name { kPlain, kSymlink, kHardLink };
    const struct {
        const char* existing;  // old contents, or null for no file
        Name name;
        bool commit;
        std::string expected;
    } cases[] = {
        {nullptr, kPlain, true, kList},  {nullptr, kPlain, false, ""},     {"old", kPlain, true, kList},
        {"old", kPlain, false, "old"},   {"old", kSymlink, true, kList},   {"old", kSymlink, false, kList},
        {"old", kHardLink, true, kList}, {"old", kHardLink, false, kList},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        if (c.existing != nullptr) {
            std::ofstream(file, std::ios::binary) << c.existing;
            chmod(file.c_str(), 0604);
            EXPECT_EQ(chown(file.c_str(), owner, -1), 0);
        }
        if (c.name == kSymlink) fs::create_symlink("out.qel", other);
        if (c.name == kHardLink) fs::create_hard_link(file, other);
        EXPECT_EQ(write_list(c.name == kPlain ? file : other, c.commit), QEL_SUCCESS);
        std::set<std::string> expected;
        if (c.existing != nullptr || c.commit) {
            expected.insert("out.qel");
            EXPECT_EQ(slurp(file), c.expected);
            EXPECT_EQ(stat_of(file).st_mode & 07777, c.existing ? 0604u : 0640u);
            EXPECT_EQ(stat_of(file).st_uid, c.existing ? owner : geteuid());
        }
        if (c.name != kPlain) {
            expected.insert("other.qel");
            EXPECT_EQ(slurp(other), c.expected);
            EXPECT_EQ(fs::is_symlink(other), c.name == kSymlink);
        }
        EXPECT_EQ(listing(folder), expected);
        fs::remove(file);
        fs::remove(other);
    }
    umask(mask);
}

// A file the process may not write, though it owns it, is refused as by the
// plain open, where the folder would let a new file be renamed over it.
TEST(QelFileReplacing, FileThatMayNotBeWrittenIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to write as another user";
    // A folder every user may reach and write to.
    char pattern[] = "/tmp/qel-read-only-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path folder = pattern;
    chmod(folder.c_str(), 0777);
    const fs::path file = folder / "out.qel";
    std::ofstream(file, std::ios::binary) << "old";
    chmod(file.c_str(), 0444);
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    const std::string out = captured([&] {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            const bool dropped = setgid(65534) == 0 && setuid(65534) == 0;
            const qel_err err = dropped ? write_list(file, true) : QEL_SUCCESS;
            std::fflush(stdout);
            _exit(err == QEL_ERR_FILE ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    });
    EXPECT_RECORD(out, "cannot open file", "*filehandle != NULL", 5507);
    EXPECT_EQ(slurp(file), "old");
    EXPECT_EQ(listing(folder), std::set<std::string>{"out.qel"});
    fs::remove_all(folder);
}
