#include "config/xml_depth.h"

#include "config/xml_file.h"
#include "config_test_support.h"

namespace dvr {
namespace {

using test::NestedElements;
using test::ScopedWorkDir;
using test::WriteFile;

TEST(XmlDepth, ScanSkipsWhatIsNotAnElement)
{
    struct Case {
        const char* text;
        int depth;
    } cases[] = {
        {"<a><b/></a>", 2},
        {"<a></a><a><b></b></a>", 2},
        {"<a b=\"<c><c>\" d = '>'><e/></a>", 2},
        {"<a b=\"/>\"><c></c></a>", 2},
        {"<a><!-- <b><b> --><c/></a>", 2},
        {"<a><![CDATA[<b><b>]]></a>", 1},
        {"<?xml version=\"<b>\" ?><!DOCTYPE x><?target <b> ?><a/>", 1},
        {"<a>1 &lt; 2 > 1</a>", 1},
        {"</a></a><a><a/></a>", 2},
        {"<a><b", 2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(XmlNestingDepth(c.text, MAX_XML_DEPTH), c.depth) << c.text;
}

TEST(XmlDepth, HundredLevelsParseAndOneMoreFails)
{
    XmlDocument document;
    EXPECT_TRUE(ParseXmlText(document, NestedElements(100))) << document.ErrorDesc();

    const std::string hundred = NestedElements(100);
    const std::string selfClosingInside = hundred.substr(0, 300) + "<b/>" + hundred.substr(300);
    for (const std::string& text : {NestedElements(101), selfClosingInside}) {
        XmlDocument deep;
        EXPECT_FALSE(ParseXmlText(deep, text));
        EXPECT_EQ(deep.ErrorId(), XML_ERROR_TOO_DEEP);
        EXPECT_STREQ(deep.ErrorDesc(), "Elements nested too deeply (exceeds the configured maximum parse depth).");
        EXPECT_EQ(deep.FirstChild(), nullptr) << "nothing of a too deep document is parsed";
    }
}

TEST(XmlDepth, HundredThousandLevelsFailWithoutCrash)
{
    ScopedWorkDir dir;
    const std::string text = NestedElements(100000);
    XmlDocument parsed;
    EXPECT_FALSE(ParseXmlText(parsed, text));
    EXPECT_EQ(parsed.ErrorId(), XML_ERROR_TOO_DEEP);

    WriteFile("deep.xml", text);
    XmlDocument loaded;
    EXPECT_FALSE(LoadXmlFile(loaded, "deep.xml"));
    EXPECT_EQ(loaded.ErrorId(), XML_ERROR_TOO_DEEP);
}

// A byte-order mark or declaration, then "<a>" + byte 0xE0 + "</a>" repeated, then as many "</a>".
// Read as UTF-8, each lead byte swallows the "</" after it and every repeat nests one level
// deeper; read byte by byte, as the core reads and its scan counts, the repeats are siblings.
std::string LeadByteNesting(const std::string& prefix, int repeats)
{
    std::string text = prefix;
    for (int i = 0; i < repeats; ++i)
        text += "<a>\xE0</a>";
    for (int i = 0; i < repeats; ++i)
        text += "</a>";
    return text;
}

TEST(XmlDepth, Utf8LeadBytesCannotHideNesting)
{
    ScopedWorkDir dir;
    const std::string prefixes[] = {"\xEF\xBB\xBF", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>", "<?xml ?>"};
    for (const std::string& prefix : prefixes) {
        // 101 repeats were accepted at depth 101; 200,000 (2.4 MB) overflowed the stack.
        for (int repeats : {101, 200000}) {
            SCOPED_TRACE(prefix + " x" + std::to_string(repeats));
            const std::string text = LeadByteNesting(prefix, repeats);
            XmlDocument parsed;
            ParseXmlText(parsed, text);
            WriteFile("core.xml", text);
            XmlDocument loaded;
            LoadXmlFile(loaded, "core.xml");
            for (const XmlDocument* document : {&parsed, &loaded}) {
                EXPECT_FALSE(document->Error()) << document->ErrorDesc();
                EXPECT_EQ(XmlTreeDepth(*document), 1);
            }
            EXPECT_GE(XmlNestingDepth(text.c_str(), MAX_XML_DEPTH), XmlTreeDepth(parsed)) << "the scan counts less";
        }
    }
}

// TinyXML takes "&#x1" up to a later "x1;" as one character reference, quotes and tags between
// included: each repeat is then an open element whose "/>" and "</a>" lie inside its value.
TEST(XmlDepth, CharacterReferencesCannotHideNesting)
{
    for (const char* unit : {"<a v=\"&#x1\"/></a>x1;\">", "<a v='&#1'/></a>#1;'>", "<a>&#x1</a><a/>x1;<a>"}) {
        SCOPED_TRACE(unit);
        std::string text;
        for (int i = 0; i < 101; ++i)
            text += unit;
        TiXmlDocument tree;
        ParseXmlBytes(tree, text.c_str());
        EXPECT_GE(XmlNestingDepth(text.c_str(), 1000), XmlTreeDepth(tree)) << "the scan counts less";
        XmlDocument parsed;
        EXPECT_FALSE(ParseXmlText(parsed, text));
        EXPECT_EQ(parsed.ErrorId(), XML_ERROR_TOO_DEEP);
    }
}

} // namespace
} // namespace dvr
