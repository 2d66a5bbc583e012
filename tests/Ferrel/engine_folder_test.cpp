// The engine against what it finds in and around the client folder: names,
// files that are longer, not writable or no files at all, and its own info
// folder.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Ferrel/commands.h"
#include "tests/Ferrel/engine_fixture.h"

namespace {

namespace fs = std::filesystem;
using ferrel_test::EngineProcess;
using ferrel_test::EngineTest;
using testing_support::HoldsTree;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

// An ordinary user's ids: root writes through any mode bits.
constexpr uid_t kUser = 65534;
constexpr gid_t kUserGroup = 65534;

// The engine run under the ordinary user's ids.
std::vector<std::string> AsUser(const std::vector<std::string>& args) {
    std::vector<std::string> all{"--reuid=" + std::to_string(kUser),
                                 "--regid=" + std::to_string(kUserGroup), "--clear-groups",
                                 FERREL_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// Hands the tree at dir to the ordinary user.
void GiveToUser(const std::string& dir) {
    ASSERT_EQ(::chown(dir.c_str(), kUser, kUserGroup), 0);
    for (const auto& e : fs::recursive_directory_iterator(dir))
        ASSERT_EQ(::lchown(e.path().c_str(), kUser, kUserGroup), 0) << e.path();
}

// The file at path rewritten with content, mode and owner.
void Rewrite(const std::string& path, const std::string& content, mode_t mode, uid_t owner) {
    WriteFile(path, content);
    ASSERT_EQ(::chown(path.c_str(), owner, owner), 0);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

struct LocalCase {
    const char* name;
    const char* folder;  // the client folder's name, beside a folder "game"
    // Turns the client folder (a copy of the published one) into the case.
    std::function<void(const std::string& dir)> prepare;
    bool asUser = false;  // the folder is the ordinary user's, who runs the engine
};

void PrintTo(const LocalCase& c, std::ostream* os) {
    *os << c.name;
}

class LocalFolderTest : public EngineTest, public testing::WithParamInterface<LocalCase> {};

TEST_P(LocalFolderTest, IsRepairedInPlaceAndNothingElseIsTouched) {
    TempDir base;
    base.Write("game/marker.txt", "the folder beside");
    const std::string dir = base.Sub(GetParam().folder);
    fs::copy(published_, dir, fs::copy_options::recursive);
    if (GetParam().asUser)
        GiveToUser(base.path());
    GetParam().prepare(dir);

    EngineProcess engine = GetParam().asUser ? EngineProcess("/usr/bin/setpriv", AsUser(Args(dir)))
                                             : EngineProcess(Args(dir));
    ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_COMPLETED, std::chrono::seconds(30)))
        << testing::PrintToString(engine.lines());
    EXPECT_TRUE(HoldsTree(dir, published_));
    for (const auto& e : fs::recursive_directory_iterator(published_)) {
        if (!e.is_regular_file())
            continue;
        EXPECT_EQ(fs::file_size(dir + "/" + fs::relative(e.path(), published_).string()),
                  e.file_size())
            << e.path();
    }
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(), 0);
    std::vector<std::string> beside;
    for (const auto& e : fs::recursive_directory_iterator(base.Sub("game")))
        beside.push_back(fs::relative(e.path(), base.path()).string());
    EXPECT_EQ(beside, std::vector<std::string>{"game/marker.txt"});
}

const LocalCase kLocalCases[] = {
    {"a folder name ending in a backslash", "game\\",
     [](const std::string& dir) { fs::remove_all(dir + "/sub"); }},
    {"a folder that is not there yet", "client",
     [](const std::string& dir) { fs::remove_all(dir); }},
    {"files longer than published", "client",
     [](const std::string& dir) {
         WriteFile(dir + "/a.txt", "intact\nand then some");
         WriteFile(dir + "/empty.txt", "not empty");
         fs::resize_file(dir + "/big.dat", (3 << 20) + 70000);
     }},
    {"a pipe where a file belongs", "client",
     [](const std::string& dir) {
         fs::remove(dir + "/sub/b.bin");
         ASSERT_EQ(::mkfifo((dir + "/sub/b.bin").c_str(), 0644), 0);
     }},
    {"a link to a pipe where a file belongs", "client",
     [](const std::string& dir) {
         fs::remove(dir + "/sub/deep/c.bin");
         ASSERT_EQ(::mkfifo((dir + "/pipe").c_str(), 0644), 0);
         fs::create_symlink("../../pipe", dir + "/sub/deep/c.bin");
     }},
    {"a damaged read-only file of the user's", "client",
     [](const std::string& dir) { Rewrite(dir + "/sub/b.bin", "damaged", 0444, kUser); }, true},
    {"a damaged file of another user's", "client",
     [](const std::string& dir) { Rewrite(dir + "/sub/b.bin", "damaged", 0644, 0); }, true},
    {"a read-only file of another user's, too long", "client",
     [](const std::string& dir) { Rewrite(dir + "/a.txt", "intact\nand then some", 0444, 0); },
     true},
};

INSTANTIATE_TEST_SUITE_P(Cases, LocalFolderTest, testing::ValuesIn(kLocalCases));

// Sets or clears the immutable flag of the file at path.
bool SetImmutable(const std::string& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

struct StuckFileCase {
    const char* name;
    // Makes sub/b.bin of the client folder dir damaged and unwritable.
    std::function<void(const std::string& dir)> prepare;
    bool asUser;
};

void PrintTo(const StuckFileCase& c, std::ostream* os) {
    *os << c.name;
}

class StuckFileTest : public EngineTest, public testing::WithParamInterface<StuckFileCase> {};

// Clears the immutable flag before the folder is removed.
struct Unfreeze {
    std::string path;
    ~Unfreeze() { SetImmutable(path, false); }
};

// A file the engine can neither write nor replace stays a file error, told
// at every poll, and nothing is left beside it.
TEST_P(StuckFileTest, StaysAFileError) {
    TempDir base;
    const std::string dir = base.Sub("client");
    fs::copy(published_, dir, fs::copy_options::recursive);
    if (GetParam().asUser)
        GiveToUser(base.path());
    const std::string file = dir + "/sub/b.bin";
    const Unfreeze unfreeze{file};
    GetParam().prepare(dir);

    EngineProcess engine = GetParam().asUser ? EngineProcess("/usr/bin/setpriv", AsUser(Args(dir)))
                                             : EngineProcess(Args(dir));
    ASSERT_TRUE(engine.WaitForState(ferrel::CREATE_FILE, std::chrono::seconds(30)))
        << testing::PrintToString(engine.lines());
    EXPECT_FALSE(engine.WaitForLine("(collects what comes meanwhile)", std::chrono::seconds(5)));
    EXPECT_EQ(engine.States().back(), ferrel::CREATE_FILE)
        << testing::PrintToString(engine.lines());
    ASSERT_GE(engine.Values("ErrorFile").size(), 2u) << testing::PrintToString(engine.lines());
    EXPECT_EQ(engine.Values("ErrorFile").back(), file);
    std::vector<std::string> there;
    for (const auto& e : fs::directory_iterator(dir + "/sub"))
        there.push_back(e.path().filename());
    std::sort(there.begin(), there.end());
    EXPECT_EQ(there, (std::vector<std::string>{"b.bin", "deep"}));
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(), 0);
}

const StuckFileCase kStuckFileCases[] = {
    {"an immutable file",
     [](const std::string& dir) {
         Rewrite(dir + "/sub/b.bin", "damaged", 0644, 0);
         ASSERT_TRUE(SetImmutable(dir + "/sub/b.bin", true));
     },
     false},
    {"a read-only file of another user's in a read-only folder",
     [](const std::string& dir) {
         Rewrite(dir + "/sub/b.bin", "damaged", 0444, 0);
         ASSERT_EQ(::chown((dir + "/sub").c_str(), 0, 0), 0);
         ASSERT_EQ(::chmod((dir + "/sub").c_str(), 0555), 0);
     },
     true},
};

INSTANTIATE_TEST_SUITE_P(Cases, StuckFileTest, testing::ValuesIn(kStuckFileCases));

struct InfoFolderCase {
    const char* name;
    // Plants something in the client folder dir that leads to outside.
    std::function<void(const std::string& dir, const std::string& outside)> plant;
    bool refused;  // the engine stops at its start instead of repairing
};

void PrintTo(const InfoFolderCase& c, std::ostream* os) {
    *os << c.name;
}

class InfoFolderTest : public EngineTest, public testing::WithParamInterface<InfoFolderCase> {};

TEST_P(InfoFolderTest, FollowsNoLinkOutOfTheFolder) {
    TempDir client, outside;
    WriteFile(outside.Sub("victim"), "victim");
    GetParam().plant(client.path(), outside.path());

    EngineProcess engine(Args(client.path()));
    if (GetParam().refused) {
        ASSERT_TRUE(engine.WaitForState(ferrel::INIT_ERROR))
            << testing::PrintToString(engine.lines());
        EXPECT_EQ(engine.Values("Error"), std::vector<std::string>{"OpenFile"});
    } else {
        ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_COMPLETED))
            << testing::PrintToString(engine.lines());
        EXPECT_TRUE(HoldsTree(client.path(), published_));
    }
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(), 0);
    EXPECT_EQ(ReadFile(outside.Sub("victim")), "victim");
    std::vector<std::string> there;
    for (const auto& e : fs::recursive_directory_iterator(outside.path()))
        there.push_back(e.path().filename());
    EXPECT_EQ(there, std::vector<std::string>{"victim"});
}

const InfoFolderCase kInfoFolderCases[] = {
    {"the info folder is a link",
     [](const std::string& dir, const std::string& outside) {
         fs::create_directory_symlink(outside, dir + "/.ferrel");
     },
     true},
    {"the seed cache's part file is a link",
     [](const std::string& dir, const std::string& outside) {
         fs::create_directory(dir + "/.ferrel");
         fs::create_symlink(outside + "/victim", dir + "/.ferrel/seed.torrent.part");
     },
     false},
};

INSTANTIATE_TEST_SUITE_P(Cases, InfoFolderTest, testing::ValuesIn(kInfoFolderCases));

// A small file system of its own at dir, unmounted at the end.
class SmallDisk {
  public:
    explicit SmallDisk(const std::string& dir) : dir_(dir) {
        mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") == 0;
        error_ = mounted_ ? 0 : errno;
    }
    ~SmallDisk() {
        if (mounted_)
            ::umount2(dir_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    int error() const { return error_; }
    bool Grow() const {
        return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | MS_NOSUID | MS_NODEV,
                       "size=16m") == 0;
    }

  private:
    std::string dir_;
    bool mounted_ = false;
    int error_ = 0;
};

// A disk too small for the client: the engine keeps the download state and
// keeps telling "WriteFile" (the tool's disk warning) for as long as it is
// full, never a completion; once there is room it finishes the repair.
TEST_F(EngineTest, TellsAFullDiskUntilThereIsRoomAndThenCompletes) {
    TempDir base;
    const std::string dir = base.Sub("client");
    fs::create_directory(dir);
    const SmallDisk disk(dir);
    if (!disk.mounted())
        GTEST_SKIP() << "no small file system can be mounted here: " << std::strerror(disk.error());

    EngineProcess engine(Args(dir));
    for (int told = 0; told < 3; ++told)
        ASSERT_TRUE(engine.WaitForLine(std::string(ferrel_test::kTag) + "Error=WriteFile",
                                       std::chrono::seconds(30)))
            << testing::PrintToString(engine.lines());
    const std::vector<int> states = engine.States();
    const auto downloading = std::find(states.begin(), states.end(), int{ferrel::DOWNLOADING});
    EXPECT_EQ(states.back(), ferrel::DOWNLOADING) << testing::PrintToString(engine.lines());
    EXPECT_EQ(std::count(downloading, states.end(), int{ferrel::CREATE_FILE}), 0)
        << "a full disk is not the fault of one file";
    EXPECT_EQ(std::count(states.begin(), states.end(), int{ferrel::DOWNLOAD_COMPLETED}), 0);
    for (const std::string& code : engine.Values("ErrorCode"))
        EXPECT_EQ(code, std::to_string(ENOSPC));

    ASSERT_TRUE(disk.Grow()) << std::strerror(errno);
    ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_COMPLETED, std::chrono::seconds(60)))
        << testing::PrintToString(engine.lines());
    EXPECT_TRUE(HoldsTree(dir, published_));
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(), 0);
}

}  // namespace
