// Saving under faults: killed and stopped saves, full disks, other owners,
// second names, pipes and links. Every test reads the bytes left on disk.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "MemoryBudget.h"
#include "SafeSave.h"
#include "testaudio.h"

namespace {

using testaudio::fileBytes;
using testaudio::Interrupt;
using testaudio::namesIn;

const int NOBODY = 65534;

class SafeSaveTest : public ::testing::Test {
protected:
    std::string dir = testaudio::makeTempDir("safesave");
    std::string cache = testaudio::makeTempDir("safesave_cache");
    testaudio::ScopedVariable cacheHome{"XDG_CACHE_HOME", cache};
    std::string copies = cache + "/cantorel";

    std::string path(const std::string& name) const { return dir + "/" + name; }

    // Noise, so no two stretches of the file look alike; its bytes come back.
    std::string writeNoise(const std::string& target, int frames) {
        testaudio::writeFile(target, testaudio::brownNoise(frames), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        return fileBytes(target);
    }

    // The bytes a save of `frames` of the tone writes into a new file.
    std::string toneBytes(long long frames) {
        std::string reference = testaudio::makeTempDir("safesave_reference") + "/44100Hz_tone441.wav";
        EXPECT_TRUE(testaudio::saveTone(reference, frames).saved());
        return fileBytes(reference);
    }

    // A second name, so the save must write the file in place.
    std::string secondNameOf(const std::string& target) {
        std::string second = target + ".second_name";
        EXPECT_EQ(link(target.c_str(), second.c_str()), 0);
        return second;
    }
};

bool endedBy(int status, int signal) { return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == signal; }

// ------------------------------------------------------- interrupted saves
// (A killed in-place save, and what the next start says of it, is a window test.)

TEST_F(SafeSaveTest, SigtermDuringAnInPlaceSavePutsTheFileBackAndThenEndsTheProgram) {
    std::string target = path("44100Hz_2000000f_noise_two_names.wav");
    std::string old = writeNoise(target, 2000000);
    std::string second = secondNameOf(target);

    int status = testaudio::interruptedSave(target, 8000000, SIGTERM, Interrupt::WhenTheTargetChanges);
    ASSERT_TRUE(endedBy(status, SIGTERM)) << status;
    EXPECT_TRUE(fileBytes(target) == old) << "the file was not put back";
    EXPECT_TRUE(fileBytes(second) == old);
    EXPECT_TRUE(namesIn(copies).empty()) << ::testing::PrintToString(namesIn(copies));
}

class StoppedSave : public SafeSaveTest, public ::testing::WithParamInterface<int> {};

TEST_P(StoppedSave, LeavesTheFileAsItWasAndNothingBesideIt) {
    std::string target = path("44100Hz_4000f_noise.wav");
    std::string old = writeNoise(target, 4000);
    int status = testaudio::interruptedSave(target, 20000000, GetParam(), Interrupt::WhileWritingAudio);
    ASSERT_TRUE(endedBy(status, GetParam())) << status;
    EXPECT_TRUE(fileBytes(target) == old);
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"44100Hz_4000f_noise.wav"});
}

INSTANTIATE_TEST_SUITE_P(Signals, StoppedSave, ::testing::Values(SIGKILL, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) { return std::string(strsignal(info.param)); });

TEST_F(SafeSaveTest, ASaveRemovesWhatKilledSavesOfItsTargetLeftBesideIt) {
    std::string target = path("44100Hz_4000f_noise.wav");
    writeNoise(target, 4000);
    std::string live = ".44100Hz_4000f_noise.wav.cantorel-" + std::to_string(getpid()) + "-Ab12Cd";
    std::vector<std::string> leftovers = {
        ".44100Hz_4000f_noise.wav.cantorel-Xy9aQ2",            // an earlier version's, naming no writer
        ".44100Hz_4000f_noise.wav.cantorel-999999999-Xy9aQ2",  // a writer that is gone
        live,                                                  // a save still running
        ".other.wav.cantorel-Xy9aQ2",                          // another file's
    };
    for (const std::string& name : leftovers) testaudio::putBytes(path(name), "half a save");

    ASSERT_TRUE(testaudio::saveTone(target, 4410).saved());
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{live, ".other.wav.cantorel-Xy9aQ2", "44100Hz_4000f_noise.wav"}));
    EXPECT_TRUE(fileBytes(target) == toneBytes(4410));
}

// ------------------------------------------------------------- full disk

// A tmpfs of the test's own, as small as a nearly full disk.
class SmallDisk {
public:
    SmallDisk(const std::string& where, const char* size) : folder(where) {
        mkdir(folder.c_str(), 0755);
        std::string options = std::string("size=") + size;
        if (mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) whyNot = strerror(errno);
    }
    ~SmallDisk() {
        if (whyNot.empty()) umount2(folder.c_str(), MNT_DETACH);
    }
    // Takes every byte that is left.
    void fill() const {
        std::string filler(4096, 'x');
        FILE* out = fopen((folder + "/filler").c_str(), "wb");
        while (out && fwrite(filler.data(), 1, filler.size(), out) == filler.size() && fflush(out) == 0) {}
        if (out) fclose(out);
    }
    std::string folder, whyNot;
};

TEST_F(SafeSaveTest, AFullDiskRefusesTheSaveAndLeavesTheFileAsItWas) {
    SmallDisk disk(path("disk"), "2m");
    if (!disk.whyNot.empty()) GTEST_SKIP() << "a tmpfs cannot be mounted here to fill up: " << disk.whyNot;
    std::string inPlace = disk.folder + "/44100Hz_100000f_noise_two_names.wav";
    std::string renamed = disk.folder + "/44100Hz_100000f_noise.wav";
    std::string old = writeNoise(inPlace, 100000);
    std::string second = secondNameOf(inPlace);
    // Both files hold the same noise: a difference later is the save's doing.
    ASSERT_TRUE(writeNoise(renamed, 100000) == old);
    disk.fill();

    SaveOutcome outcome = testaudio::saveTone(inPlace, 400000);
    EXPECT_EQ(outcome.reason, "there is not enough space on its disk for the new audio (" + readableSize(44 + 400000 * 2) +
                                  "); the file is as it was.");
    EXPECT_TRUE(fileBytes(inPlace) == old);
    EXPECT_TRUE(fileBytes(second) == old);
    EXPECT_TRUE(namesIn(copies).empty());

    outcome = testaudio::saveTone(renamed, 400000);
    EXPECT_EQ(outcome.reason, strerror(ENOSPC));
    std::string after = fileBytes(renamed);
    EXPECT_TRUE(after == old) << after.size() << " bytes where " << old.size() << " were";
    EXPECT_EQ(namesIn(disk.folder).size(), 4u) << ::testing::PrintToString(namesIn(disk.folder));
}

// ------------------------------------------------------ what a file is

TEST_F(SafeSaveTest, AsRootAFileKeepsItsOwnerAndEveryNameButNeverASetuidBit) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
    std::string owned = path("44100Hz_1000f_owned_by_nobody_0640.wav");
    std::string setuid = path("44100Hz_1000f_setuid_nobody_4755.wav");
    std::string linked = path("44100Hz_1000f_two_names.wav");
    for (const std::string& file : {owned, setuid, linked}) writeNoise(file, 1000);
    ASSERT_EQ(chown(owned.c_str(), NOBODY, NOBODY), 0);
    ASSERT_EQ(chmod(owned.c_str(), 0640), 0);
    ASSERT_EQ(chown(setuid.c_str(), NOBODY, NOBODY), 0);
    ASSERT_EQ(chmod(setuid.c_str(), 04755), 0);
    std::string second = secondNameOf(linked);

    for (const std::string& file : {owned, setuid, linked}) ASSERT_TRUE(testaudio::saveTone(file, 4410).saved()) << file;
    std::string saved = toneBytes(4410);
    struct stat st;
    ASSERT_EQ(stat(owned.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, (uid_t)NOBODY);
    EXPECT_EQ(st.st_gid, (gid_t)NOBODY);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(stat(setuid.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, (uid_t)NOBODY);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    struct stat other;
    ASSERT_EQ(stat(linked.c_str(), &st), 0);
    ASSERT_EQ(stat(second.c_str(), &other), 0);
    EXPECT_EQ(st.st_ino, other.st_ino);
    for (const std::string& file : {owned, setuid, linked, second}) EXPECT_TRUE(fileBytes(file) == saved) << file;
}

TEST_F(SafeSaveTest, AUserWhoMayWriteAnothersFileLeavesItTheirs) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to save as another user";
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(cache.c_str(), 0777), 0);
    std::string target = path("44100Hz_1000f_root_owned_0666.wav");
    writeNoise(target, 1000);
    ASSERT_EQ(chmod(target.c_str(), 0666), 0);
    std::optional<std::string> said = testaudio::answeredWithin(20, [&] {
        if (setgroups(0, nullptr) != 0 || setresgid(NOBODY, NOBODY, NOBODY) != 0 || setresuid(NOBODY, NOBODY, NOBODY) != 0)
            return std::string("could not become nobody");
        return testaudio::saveTone(target, 4410).reason;
    });
    ASSERT_EQ(said, std::string()) << "the save failed";
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_TRUE(fileBytes(target) == toneBytes(4410));
}

TEST_F(SafeSaveTest, APipeOrADeviceIsRefusedAtOnceAndStaysWhatItIs) {
    std::string pipe = path("named_pipe_without_reader.wav");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0666), 0);
    std::string device = path("link_to_dev_null.wav");
    ASSERT_EQ(symlink("/dev/null", device.c_str()), 0);
    struct Case {
        std::string target, says;
    };
    for (const Case& c : {Case{pipe, "it is a named pipe; Cantorel saves only into regular files."},
                          Case{device, "it is a device; Cantorel saves only into regular files."}}) {
        std::optional<std::string> said = testaudio::answeredWithin(5, [&] { return testaudio::saveTone(c.target, 4410).reason; });
        ASSERT_TRUE(said.has_value()) << c.target << ": no answer within 5 seconds";
        EXPECT_EQ(*said, c.says);
    }
    struct stat st;
    ASSERT_EQ(lstat(pipe.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(stat(device.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(namesIn(dir).size(), 2u);
}

TEST_F(SafeSaveTest, ALinkThatAnotherUserPutInASharedStickyFolderIsNotFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can give a link to another user";
    std::string shared = path("shared_sticky");
    ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    std::string victim = path("44100Hz_1000f_victim.wav");
    std::string old = writeNoise(victim, 1000);
    std::string planted = shared + "/planted.wav", mine = shared + "/mine.wav";
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    ASSERT_EQ(lchown(planted.c_str(), NOBODY, NOBODY), 0);

    SaveOutcome outcome = testaudio::saveTone(planted, 4410);
    EXPECT_EQ(outcome.reason, "\"" + planted +
                                  "\" is a link that another user put in a folder anyone may write; Cantorel does "
                                  "not follow such a link, as the system itself would not.");
    EXPECT_TRUE(fileBytes(victim) == old);
    struct stat st;
    ASSERT_EQ(lstat(planted.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    // The user's own link there is followed as anywhere else.
    ASSERT_EQ(symlink(victim.c_str(), mine.c_str()), 0);
    ASSERT_TRUE(testaudio::saveTone(mine, 4410).saved());
    EXPECT_TRUE(fileBytes(victim) == toneBytes(4410));
}

}  // namespace
