// The program as users get it: `cmake --install` and the Debian package,
// their files, their metadata, and the installed program started for real.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "guidriver.h"
#include "testaudio.h"

static const char* const FAREWELL = "Thank you for using cantorel.";

static std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

static std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

static std::string source(const std::string& relative) { return std::string(CANTOREL_SOURCE_DIR) + "/" + relative; }

// Mode bits of a path, or -1 when it does not exist.
static int modeOf(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return -1;
    return info.st_mode & 07777;
}

// "WxH" from a PNG's header, or "" when the file is no PNG.
static std::string pngSize(const std::string& path) {
    std::string bytes = readAll(path);
    if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return "";
    auto be32 = [&](size_t at) {
        unsigned long v = 0;
        for (size_t i = 0; i < 4; i++) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
        return std::to_string(v);
    };
    return be32(16) + "x" + be32(20);
}

// Where each file of the source tree lands below the prefix.
struct Placement {
    const char* from;
    const char* to;
};
static const std::vector<Placement> DATA_FILES = {
    {"data/cantorel.desktop", "share/applications/cantorel.desktop"},
    {"data/org.cantorel.Cantorel.metainfo.xml", "share/metainfo/org.cantorel.Cantorel.metainfo.xml"},
    {"icons/cantorel.svg", "share/icons/hicolor/scalable/apps/cantorel.svg"},
    {"icons/cantorel-48.png", "share/icons/hicolor/48x48/apps/cantorel.png"},
    {"icons/cantorel-256.png", "share/icons/hicolor/256x256/apps/cantorel.png"},
    {"LICENSE", "share/doc/cantorel/copyright"},
};
static const char* const MANPAGE = "share/man/man1/cantorel.1.gz";

// Every file in place with the source's exact bytes, the manual page compressed.
static void expectInstalledTree(const std::string& prefix) {
    for (const Placement& p : DATA_FILES) {
        std::string installed = prefix + "/" + p.to;
        ASSERT_EQ(modeOf(installed), 0644) << installed;
        EXPECT_EQ(readAll(installed), readAll(source(p.from))) << installed;
    }
    EXPECT_EQ(modeOf(prefix + "/bin/cantorel"), 0755);
    ASSERT_EQ(modeOf(prefix + "/" + MANPAGE), 0644);
    EXPECT_EQ(shellOutput("gzip -dc '" + prefix + "/" + MANPAGE + "'"), readAll(source("data/cantorel.1")));
}

static void expectStartsAndSaysFarewell(const std::string& program, const std::string& tag) {
    ProgramUnderTest run(tag);
    run.setProgram(program);
    run.start();
    std::string window = run.waitForWindow(MAIN_TITLE);
    ASSERT_FALSE(window.empty()) << program << "\n" << run.output();
    run.closeWindow(window);
    EXPECT_EQ(run.waitForExit(), 0);
    EXPECT_EQ(run.count(FAREWELL), 1) << run.output();
}

// The one .deb the package_deb test left behind.
static std::string packagePath() {
    std::vector<std::string> found;
    if (DIR* dir = opendir(CANTOREL_PACKAGE_DIR)) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".deb") == 0)
                found.push_back(std::string(CANTOREL_PACKAGE_DIR) + "/" + name);
        }
        closedir(dir);
    }
    if (found.size() != 1) return "";
    return found[0];
}

static std::string controlField(const std::string& deb, const std::string& field) {
    return trimmed(shellOutput("dpkg-deb -f '" + deb + "' " + field));
}

// Package names in a Depends field, without versions or alternatives' operators.
static std::vector<std::string> dependencyNames(const std::string& depends) {
    std::vector<std::string> names;
    size_t at = 0;
    while (at < depends.size()) {
        size_t start = depends.find_first_not_of(" ,|", at);
        if (start == std::string::npos) break;
        size_t end = depends.find_first_of(" ,|(", start);
        names.push_back(depends.substr(start, end - start));
        at = depends.find_first_of(",|", start);
    }
    return names;
}

// The value of a "Key=value" line of a desktop entry, or "" when there is none.
static std::string desktopValue(const std::string& entry, const std::string& key) {
    size_t at = entry.find("\n" + key + "=");
    if (at == std::string::npos) return "";
    size_t start = at + key.size() + 2;
    return entry.substr(start, entry.find('\n', start) - start);
}

static bool contains(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& n : names)
        if (n == name) return true;
    return false;
}

class DebianPackage : public ::testing::Test {
protected:
    void SetUp() override {
        deb = packagePath();
        ASSERT_FALSE(deb.empty()) << "expected exactly one .deb in " << CANTOREL_PACKAGE_DIR;
    }
    // The package unpacked into a fresh root, as dpkg would install it.
    std::string unpack() {
        std::string root = testaudio::makeTempDir("deb_root");
        EXPECT_EQ(system(("dpkg-deb -x '" + deb + "' '" + root + "'").c_str()), 0);
        return root;
    }
    std::string deb;
};

TEST(Install, CmakeInstallPlacesEveryFileAndTheProgramRuns) {
    std::string prefix = testaudio::makeTempDir("install") + "/usr";
    std::string command = std::string("'") + CANTOREL_CMAKE + "' --install '" + CANTOREL_BUILD_DIR + "' --prefix '" +
                          prefix + "' >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0) << command;
    expectInstalledTree(prefix);
    expectStartsAndSaysFarewell(prefix + "/bin/cantorel", "installed");
}

TEST_F(DebianPackage, ControlFieldsDescribeASoundProgram) {
    EXPECT_EQ(controlField(deb, "Package"), "cantorel");
    EXPECT_EQ(controlField(deb, "Version").rfind(std::string(CANTOREL_VERSION) + "-", 0), 0u)
        << controlField(deb, "Version");
    EXPECT_EQ(controlField(deb, "Section"), "sound");
    EXPECT_EQ(controlField(deb, "Architecture"), trimmed(shellOutput("dpkg --print-architecture")));
    // "Name <address@host>".
    std::string maintainer = controlField(deb, "Maintainer");
    size_t open = maintainer.find(" <"), at = maintainer.find('@');
    EXPECT_TRUE(open != std::string::npos && open > 0 && at > open + 2 && maintainer.back() == '>' &&
                at + 2 < maintainer.size() && maintainer.find(' ', open + 2) == std::string::npos)
        << maintainer;
    // A synopsis line, then a long description of lines a terminal can show.
    std::string description = controlField(deb, "Description");
    std::istringstream lines(description);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_LT(line.size(), 80u) << line;
        count++;
    }
    EXPECT_GE(count, 2) << description;
}

TEST_F(DebianPackage, DependsOnTheLibrariesTheProgramLinks) {
    std::string depends = controlField(deb, "Depends");
    std::vector<std::string> names = dependencyNames(depends);
    for (const char* library : {"libfltk1.3", "libsndfile1", "libx11-6", "libstdc++6", "libc6"})
        EXPECT_TRUE(contains(names, library)) << library << " missing from: " << depends;
    // ALSA is needed exactly when the shipped program links it.
    std::string root = unpack();
    std::string needed = shellOutput("readelf -d '" + root + "/usr/bin/cantorel'");
    ASSERT_NE(needed.find("(NEEDED)"), std::string::npos) << needed;
    bool linksAlsa = needed.find("[libasound.so.2]") != std::string::npos;
    EXPECT_EQ(contains(names, "libasound2"), linksAlsa) << depends;
}

TEST_F(DebianPackage, FilesBelongUnderUsrOwnedByRoot) {
    std::string listing = shellOutput("dpkg-deb -c '" + deb + "'");
    std::istringstream lines(listing);
    std::string line;
    int entries = 0;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        entries++;
        std::istringstream fields(line);
        std::string mode, owner, size, date, time, path;
        fields >> mode >> owner >> size >> date >> time >> path;
        EXPECT_EQ(owner, "root/root") << line;
        EXPECT_EQ(path.rfind("./usr/", 0), 0u) << line;
        if (mode[0] == 'd') {
            EXPECT_EQ(mode, "drwxr-xr-x") << line;
        }
    }
    EXPECT_GT(entries, 10) << listing;

    std::string root = unpack();
    expectInstalledTree(root + "/usr");
    // Shipped stripped: the build's debugging sections stay out of the package.
    std::string sections = shellOutput("readelf -S '" + root + "/usr/bin/cantorel'");
    EXPECT_NE(sections.find(".text"), std::string::npos);
    EXPECT_EQ(sections.find(".debug_info"), std::string::npos);
}

TEST_F(DebianPackage, LauncherMetadataAndIconsPointAtEachOther) {
    std::string root = unpack();
    std::string desktop = readAll(root + "/usr/share/applications/cantorel.desktop");
    // The launcher hands the program the one file a file manager opens with it.
    std::string command = desktopValue(desktop, "Exec");
    EXPECT_EQ(command, "cantorel %f") << desktop;
    EXPECT_EQ(modeOf(root + "/usr/bin/" + command.substr(0, command.find(' '))), 0755);
    std::string icon = desktopValue(desktop, "Icon");
    ASSERT_FALSE(icon.empty()) << desktop;
    for (std::string relative :
         {"scalable/apps/" + icon + ".svg", "48x48/apps/" + icon + ".png", "256x256/apps/" + icon + ".png"})
        EXPECT_EQ(modeOf(root + "/usr/share/icons/hicolor/" + relative), 0644) << relative;
    // Each bitmap sits in the folder of its own size.
    for (int size : {48, 256}) {
        std::string dim = std::to_string(size);
        EXPECT_EQ(pngSize(root + "/usr/share/icons/hicolor/" + dim + "x" + dim + "/apps/" + icon + ".png"),
                  dim + "x" + dim);
    }

    std::string metainfo = readAll(root + "/usr/share/metainfo/org.cantorel.Cantorel.metainfo.xml");
    EXPECT_NE(metainfo.find("<id>org.cantorel.Cantorel</id>"), std::string::npos);
    EXPECT_NE(metainfo.find("<launchable type=\"desktop-id\">cantorel.desktop</launchable>"), std::string::npos);
    EXPECT_NE(metainfo.find("<binary>cantorel</binary>"), std::string::npos);
    EXPECT_NE(metainfo.find(std::string("<release version=\"") + CANTOREL_VERSION + "\""), std::string::npos)
        << "the newest release in the metainfo is not " << CANTOREL_VERSION;
}

TEST_F(DebianPackage, ManualPageOpensWithMan) {
    std::string root = unpack();
    std::string page = root + "/usr/share/man/man1/cantorel.1.gz";
    std::string rendered = shellOutput("MANPAGER=cat MANWIDTH=80 man -l '" + page + "' 2>&1");
    EXPECT_NE(rendered.find("cantorel - pitch correction"), std::string::npos) << rendered;
    EXPECT_NE(rendered.find("Ctrl+Shift+Z"), std::string::npos) << rendered;
    EXPECT_NE(rendered.find(std::string("Cantorel ") + CANTOREL_VERSION), std::string::npos)
        << "manual page footer does not name version " << CANTOREL_VERSION;
}

TEST_F(DebianPackage, InstalledProgramOpensItsWindowAndSaysFarewell) {
    std::string root = unpack();
    expectStartsAndSaysFarewell(root + "/usr/bin/cantorel", "deb");
}
