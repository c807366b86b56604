#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "testaudio.h"
#include "utils.h"

namespace {

// FLTK finds the user's preferences under HOME; a folder of the test's own
// keeps the real preferences untouched. Set before any preference is opened.
const std::string HOME = [] {
    std::string home = testaudio::makeTempDir("utils_home");
    setenv("HOME", home.c_str(), 1);
    return home;
}();

std::string lastDir(const std::string& key) {
    std::unique_ptr<string> value(utils::getlastdir(key));
    return *value;
}

std::string preferencesFile() {
    std::ifstream in(HOME + "/.fltk/kelv/Cantorel.prefs");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(LastDir, MissingEntryIsTheCurrentFolder) { EXPECT_EQ(lastDir("never_stored"), "."); }

TEST(LastDir, StoredFolderComesBackAndIsWrittenOut) {
    utils::setlastdir("wavedir", "/data/");
    EXPECT_EQ(lastDir("wavedir"), "/data/");
    EXPECT_NE(preferencesFile().find("wavedir:/data/"), std::string::npos) << preferencesFile();

    utils::setlastdir("wavedir", "/music/takes/");
    EXPECT_EQ(lastDir("wavedir"), "/music/takes/");
}

TEST(LastDir, ALongFolderComesBackWhole) {
    std::string folder = "/";
    while (folder.size() < 700) folder += "a_rather_long_folder_name_of_a_session/";
    utils::setlastdir("wavedir_long", folder.c_str());
    EXPECT_EQ(lastDir("wavedir_long"), folder);
}

TEST(FileExists, FilesAndFoldersExistMissingOnesDoNot) {
    std::string dir = testaudio::makeTempDir("utils_exists");
    std::string file = dir + "/plain.txt";
    std::ofstream(file) << "x";
    EXPECT_TRUE(utils::fileExists(file.c_str()));
    EXPECT_TRUE(utils::fileExists(dir.c_str()));
    EXPECT_FALSE(utils::fileExists((dir + "/missing.wav").c_str()));
    // A link to nothing names nothing that could be overwritten by surprise.
    ASSERT_EQ(symlink("missing.wav", (dir + "/dangling.wav").c_str()), 0);
    EXPECT_FALSE(utils::fileExists((dir + "/dangling.wav").c_str()));
}

TEST(Printable, KeepsEveryLanguageAndEscapesWhatCouldDriveATerminal) {
    EXPECT_EQ(utils::printable("Chœur – «ténor» 合唱.wav"), "Chœur – «ténor» 合唱.wav");
    // C0 controls, DEL, the C1 control CSI as UTF-8 and raw, a cut sequence, an overlong '/'.
    EXPECT_EQ(utils::printable("a\x1b[2Jb\tc\x7f\xc2\x9b\x9b\xe6\x97\xc0\xaf.wav"),
              "a\\x1b[2Jb\\tc\\x7f\\xc2\\x9b\\x9b\\xe6\\x97\\xc0\\xaf.wav");
}

}  // namespace
