#include "config/xml_file.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <random>
#include <thread>

#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config_test_support.h"
#include "support/bounded_wait.h"

namespace dvr {
namespace {

using test::ReadFile;
using test::ScopedWorkDir;
using test::WriteFile;

TEST(XmlFileLoad, MissingOrNonRegularFileFailsToOpen)
{
    ScopedWorkDir dir;
    std::filesystem::create_directory("folder.xml");
    for (const char* name : {"absent.xml", "folder.xml"}) {
        XmlDocument document;
        EXPECT_FALSE(LoadXmlFile(document, name));
        EXPECT_EQ(document.ErrorId(), 2) << name;
        EXPECT_STREQ(document.ErrorDesc(), "Failed to open file") << name;
    }
}

XmlDocument DocumentWithText(const std::string& value)
{
    XmlDocument document;
    TiXmlElement root("Root");
    root.SetAttribute("Value", value);
    document.InsertEndChild(root);
    return document;
}

// TinyXML steps over a UTF-8 character by its lead byte's length; a lead byte right before the end
// of the text must not send it past the buffer (the address sanitizer build catches a read beyond).
TEST(XmlFileLoad, Utf8LeadByteAtTheEndStaysWithinTheText)
{
    const std::string cutAfterLeadByte = "<oDVR><Modules><Module><Plugin ID=\"262144\"/><\xeb\xeb";
    XmlDocument text;
    ParseXmlText(text, cutAfterLeadByte);
    EXPECT_TRUE(text.Error());

    ScopedWorkDir dir;
    WriteFile("core.xml", "<?xml version=\"1.0\"?><oDVR><Memory Throttling=\"1\"/></oDVR\xed>");
    XmlDocument file;
    LoadXmlFile(file, "core.xml");
    EXPECT_NE(file.FirstChildElement("oDVR"), nullptr); // what was read before the bad byte stays
}

// Every value the core writes reads back as the same bytes, whatever the declaration it writes
// makes TinyXML believe about the encoding; a byte-order mark is skipped.
TEST(XmlFileLoad, SavedValuesReadBackByteForByte)
{
    ScopedWorkDir dir;
    const std::string values[] = {
        "2.0-\xE9",     "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", "\xE0", "\xF0\"", "a<b>&c\"d'e", "tab\tnew\nline\rcr",
        "\xEF\xBB\xBF",
    };
    XmlDocument document;
    document.InsertEndChild(TiXmlDeclaration("", "", ""));
    TiXmlElement root("Root");
    for (size_t i = 0; i < std::size(values); ++i)
        root.SetAttribute("V" + std::to_string(i), values[i]);
    document.InsertEndChild(root);
    ASSERT_TRUE(SaveXmlFile(document, "saved.xml"));
    const std::string saved = ReadFile("saved.xml");
    WriteFile("utf8.xml", "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + saved.substr(saved.find('>') + 1));

    for (const char* name : {"saved.xml", "utf8.xml"}) {
        XmlDocument loaded;
        ASSERT_TRUE(LoadXmlFile(loaded, name)) << name << ": " << loaded.ErrorDesc();
        const TiXmlElement* read = loaded.FirstChildElement("Root");
        ASSERT_NE(read, nullptr) << name;
        for (size_t i = 0; i < std::size(values); ++i) {
            const std::string* value = read->Attribute("V" + std::to_string(i));
            ASSERT_NE(value, nullptr) << name << " V" << i;
            EXPECT_EQ(*value, values[i]) << name << " V" << i;
        }
    }
}

TEST(XmlFileLoad, DocumentsOverFourMiBAreRefused)
{
    ScopedWorkDir dir;
    const std::string fits = "<a>" + std::string(MAX_XML_SIZE - 7, ' ') + "</a>";
    ASSERT_EQ(fits.size(), 4u << 20);
    const std::string over = fits + " ";
    WriteFile("fits.xml", fits);
    WriteFile("over.xml", over);

    XmlDocument parsed;
    EXPECT_TRUE(ParseXmlText(parsed, fits));
    XmlDocument loaded;
    EXPECT_TRUE(LoadXmlFile(loaded, "fits.xml"));

    XmlDocument parsedOver;
    EXPECT_FALSE(ParseXmlText(parsedOver, over));
    XmlDocument loadedOver;
    EXPECT_FALSE(LoadXmlFile(loadedOver, "over.xml"));
    for (const XmlDocument* document : {&parsedOver, &loadedOver}) {
        EXPECT_EQ(document->ErrorId(), 18);
        EXPECT_STREQ(document->ErrorDesc(), "Document too large (exceeds the 4 MiB limit)");
        EXPECT_EQ(document->FirstChild(), nullptr);
    }
}

TEST(XmlFileSave, WritesIndentedTextAndNoPendingFile)
{
    ScopedWorkDir dir;
    XmlDocument document;
    ASSERT_TRUE(ParseXmlText(document, "<a><b><c/></b></a>"));
    ASSERT_TRUE(SaveXmlFile(document, "saved.xml")) << document.ErrorDesc();
    EXPECT_EQ(ReadFile("saved.xml"), "<a>\n    <b>\n        <c />\n    </b>\n</a>\n");
    EXPECT_FALSE(std::filesystem::exists("saved.xml.pending"));
}

TEST(XmlFileSave, UncreatablePendingFileLeavesOldFile)
{
    ScopedWorkDir dir;
    WriteFile("core.xml", "<old/>");
    std::filesystem::create_directory("core.xml.pending");
    XmlDocument document = DocumentWithText("new");
    EXPECT_FALSE(SaveXmlFile(document, "core.xml"));
    EXPECT_EQ(document.ErrorId(), 2);
    EXPECT_STREQ(document.ErrorDesc(), "create error 21 - Is a directory");
    EXPECT_EQ(ReadFile("core.xml"), "<old/>");
}

TEST(XmlFileSave, FullDiskRemovesPendingAndLeavesOldFile)
{
    ScopedWorkDir dir;
    WriteFile("core.xml", "<old/>");
    // Small enough to stay in the stream's buffer until the flush, and large enough not to.
    for (size_t size : {10u, 1u << 20}) {
        std::filesystem::create_symlink("/dev/full", "core.xml.pending");
        XmlDocument document = DocumentWithText(std::string(size, 'x'));
        EXPECT_FALSE(SaveXmlFile(document, "core.xml"));
        EXPECT_EQ(document.ErrorId(), 2);
        std::string why = document.ErrorDesc();
        EXPECT_TRUE(why.starts_with("write error 28 - ") || why.starts_with("close error ") ||
                    why.starts_with("only wrote "))
            << why;
        EXPECT_FALSE(std::filesystem::is_symlink("core.xml.pending")) << size;
        EXPECT_EQ(ReadFile("core.xml"), "<old/>");
    }
}

TEST(XmlFileSave, FailedRenameKeepsCompletePendingFile)
{
    ScopedWorkDir dir;
    std::filesystem::create_directories("core.xml/inside");
    XmlDocument document = DocumentWithText("new");
    EXPECT_FALSE(SaveXmlFile(document, "core.xml"));
    EXPECT_EQ(document.ErrorId(), 2);
    EXPECT_STREQ(document.ErrorDesc(), "Failed to rename .xml.pending to .xml file 21 - Is a directory");
    EXPECT_NE(ReadFile("core.xml.pending").find("new"), std::string::npos);
}

// The test executable is linked with -Wl,--wrap=fsync: the core's fsync calls come here first.
// Each sync of a folder is counted, with whether a pending file was still there at that moment.
std::atomic<int> folderSyncs{0};
std::atomic<bool> pendingAtFolderSync{false};

} // namespace

extern "C" int __real_fsync(int descriptor);
extern "C" int __wrap_fsync(int descriptor)
{
    struct stat status {};
    if (fstat(descriptor, &status) == 0 && S_ISDIR(status.st_mode)) {
        pendingAtFolderSync = access("core.xml.pending", F_OK) == 0;
        ++folderSyncs;
    }
    return __real_fsync(descriptor);
}

namespace {

// Without the folder's sync a rename may not survive a power cut: the device would come back with
// the previous core.xml, or none.
TEST(XmlFileSave, FolderIsSyncedAfterEachRename)
{
    ScopedWorkDir dir;
    XmlDocument document = DocumentWithText("new");
    int before = folderSyncs;
    ASSERT_TRUE(SaveXmlFile(document, "core.xml"));
    EXPECT_EQ(folderSyncs - before, 1);
    EXPECT_FALSE(pendingAtFolderSync) << "synced before the rename";

    WriteFile("core.xml.pending", "<promoted/>");
    before = folderSyncs;
    ASSERT_TRUE(LoadXmlFile(document, "core.xml"));
    EXPECT_EQ(folderSyncs - before, 1) << "a promoted pending file";
    EXPECT_FALSE(pendingAtFolderSync);
}

TEST(FileInUseRegistry, HolderBlocksLoadOfSameNameUntilRelease)
{
    ScopedWorkDir dir;
    WriteFile("held.xml", "<a/>");
    WriteFile("free.xml", "<a/>");
    std::atomic<bool> heldLoaded{false};
    FileInUseRegistry::Instance().Acquire("held.xml");
    test::TestThread loader([&] {
        XmlDocument document;
        heldLoaded = LoadXmlFile(document, "held.xml");
    });
    XmlDocument other;
    EXPECT_TRUE(LoadXmlFile(other, "free.xml")) << "another name is not held up";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(heldLoaded);
    FileInUseRegistry::Instance().Release("held.xml");
    ASSERT_TRUE(loader.Join("the load of held.xml to end once the name was released"));
    EXPECT_TRUE(heldLoaded);
}

// A document whose every Item repeats the root's Version, so that a torn file cannot pass.
XmlDocument VersionDocument(int version)
{
    XmlDocument document;
    TiXmlElement root("Doc");
    root.SetAttribute("Version", version);
    root.SetAttribute("Count", 3000);
    TiXmlElement* rootCopy = document.InsertEndChild(root)->ToElement();
    for (int i = 0; i < 3000; ++i) {
        TiXmlElement item("Item");
        item.SetAttribute("Version", version);
        rootCopy->InsertEndChild(item);
    }
    return document;
}

int WholeDocumentVersion(const XmlDocument& document)
{
    const TiXmlElement* root = document.FirstChildElement("Doc");
    if (root == nullptr)
        return -1;
    int version = -1;
    int count = 0;
    root->QueryIntAttribute("Version", &version);
    root->QueryIntAttribute("Count", &count);
    for (const TiXmlElement* item = root->FirstChildElement("Item"); item != nullptr;
         item = item->NextSiblingElement("Item")) {
        int itemVersion = -2;
        item->QueryIntAttribute("Version", &itemVersion);
        if (itemVersion != version)
            return -1;
        --count;
    }
    return count == 0 ? version : -1;
}

// The child's side of the kill test: saves ever newer versions and reports each completed one.
[[noreturn]] void SaveForever(int round, int reports)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (int version = round * 10000;; ++version) {
        XmlDocument document = VersionDocument(version);
        if (SaveXmlFile(document, "core.xml") && write(reports, &version, sizeof version) != sizeof version)
            _exit(1);
    }
}

// The next version the child reported as saved; -1 when it reported none within a minute.
int NextReportedSave(int reports)
{
    pollfd ready{.fd = reports, .events = POLLIN, .revents = 0};
    int version = -1;
    if (poll(&ready, 1, 60000) != 1 || read(reports, &version, sizeof version) != sizeof version)
        return -1;
    return version;
}

TEST(XmlFileSave, KillAtAnyMomentLeavesAWholeDocument)
{
    ScopedWorkDir dir;
    XmlDocument initial = VersionDocument(0);
    ASSERT_TRUE(SaveXmlFile(initial, "core.xml"));
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    // The kill moments follow the child's own pace: each round waits for 0 to 2 saves the child
    // reports, then kills after a random part of the time the child's saves take (as seen so far),
    // so a slow child (a sanitizer build, a busy machine) is killed across its saves all the same.
    std::chrono::microseconds childSaveTime(1000);
    int lastVersion = 0;
    int completedSaves = 0;
    for (int round = 1; round <= 200; ++round) {
        int reports[2];
        ASSERT_EQ(pipe(reports), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(reports[0]);
            SaveForever(round, reports[1]);
        }
        close(reports[1]);
        int reported = lastVersion;
        const int wanted = static_cast<int>(random() % 3);
        auto previous = std::chrono::steady_clock::now();
        for (int i = 0; i < wanted; ++i) {
            reported = NextReportedSave(reports[0]);
            ASSERT_GE(reported, 0) << "round " << round << ": the child reported no save within a minute";
            auto now = std::chrono::steady_clock::now();
            if (i > 0)
                childSaveTime = std::chrono::duration_cast<std::chrono::microseconds>(now - previous);
            previous = now;
            ++completedSaves;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % (childSaveTime.count() + 1)));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(reports[0]);

        XmlDocument loaded;
        ASSERT_TRUE(LoadXmlFile(loaded, "core.xml")) << "round " << round << ": " << loaded.ErrorDesc();
        int version = WholeDocumentVersion(loaded);
        ASSERT_GE(version, lastVersion) << "round " << round << ": torn or older document";
        ASSERT_GE(version, reported) << "round " << round << ": a save the child completed was lost";
        lastVersion = version;
    }
    EXPECT_GT(completedSaves, 0);
}

} // namespace
} // namespace dvr
