#include "config/xml_depth.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <strings.h>

namespace dvr {

namespace {

// The scan follows TinyXML's own rules for where a markup construct ends, so that up to the
// point where TinyXML would stop with an error the two see the same elements. Where the scan
// guesses, it guesses towards more elements: counting too deep is harmless, too shallow is not.

bool IsSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// TinyXML starts an element name with a letter, '_' or any byte from 127 up.
bool IsNameStart(char c)
{
    auto byte = static_cast<unsigned char>(c);
    return byte >= 127 || c == '_' || std::isalpha(byte) != 0;
}

bool IsNameChar(char c)
{
    return IsNameStart(c) || std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == ':';
}

bool StartsWith(const char* p, const char* prefix)
{
    return std::strncmp(p, prefix, std::strlen(prefix)) == 0;
}

bool StartsWithNoCase(const char* p, const char* prefix)
{
    return strncasecmp(p, prefix, std::strlen(prefix)) == 0;
}

// The position just past marker, or the end of the text when it never comes.
const char* SkipPast(const char* p, const char* marker)
{
    const char* found = std::strstr(p, marker);
    return found != nullptr ? found + std::strlen(marker) : p + std::strlen(p);
}

// p is at a '&' in text or a quoted value: where TinyXML goes on after it. A numeric character
// reference runs to the next ';' however far away, provided that the characters between it and
// the nearest 'x' (hexadecimal) or '#' (decimal) before it are digits, so "&#x1" can step over
// quotes and tags up to a later "x1;". Anything else is one character, as TinyXML takes it (or
// TinyXML stops with an error, and counting on is harmless).
const char* SkipReference(const char* p)
{
    if (p[1] != '#' || p[2] == '\0')
        return p + 1;
    const bool hexadecimal = p[2] == 'x';
    const char* start = hexadecimal ? p + 3 : p + 2;
    if (*start == '\0')
        return p + 1;
    const char* end = std::strchr(start, ';');
    if (end == nullptr)
        return p + 1;
    for (const char* q = end - 1; *q != (hexadecimal ? 'x' : '#'); --q) {
        auto byte = static_cast<unsigned char>(*q);
        if (hexadecimal ? std::isxdigit(byte) == 0 : std::isdigit(byte) == 0)
            return p + 1;
    }
    return end + 1;
}

// The first stop character from p on, stepping over character references the way TinyXML reads
// text and quoted values; null when there is none.
const char* FindInText(const char* p, char stop)
{
    const char stops[] = {stop, '&', '\0'};
    while ((p = std::strpbrk(p, stops)) != nullptr && *p == '&')
        p = SkipReference(p);
    return p;
}

// p is just past the '=' of an attribute: skips the value, quoted or not.
const char* SkipAttributeValue(const char* p)
{
    while (IsSpace(*p))
        ++p;
    if (*p == '"' || *p == '\'') {
        const char* close = FindInText(p + 1, *p);
        return close != nullptr ? close + 1 : p + std::strlen(p);
    }
    while (*p != '\0' && !IsSpace(*p) && *p != '/' && *p != '>')
        ++p;
    return p;
}

// p is just past "<?xml": TinyXML honours quoted values only for these three attributes and
// otherwise ends the declaration at the first '>'.
const char* SkipDeclaration(const char* p)
{
    while (*p != '\0') {
        if (*p == '>')
            return p + 1;
        while (IsSpace(*p))
            ++p;
        if (StartsWithNoCase(p, "version") || StartsWithNoCase(p, "encoding") || StartsWithNoCase(p, "standalone")) {
            while (IsNameChar(*p))
                ++p;
            while (IsSpace(*p))
                ++p;
            if (*p == '=')
                p = SkipAttributeValue(p + 1);
        } else {
            while (*p != '\0' && *p != '>' && !IsSpace(*p))
                ++p;
        }
    }
    return p;
}

// p is just past the name of an element's start tag: skips to the end of the tag.
const char* SkipStartTag(const char* p, bool& selfClosing)
{
    selfClosing = false;
    while (*p != '\0') {
        if (*p == '>')
            return p + 1;
        if (*p == '/') {
            selfClosing = true;
            return *(p + 1) == '>' ? p + 2 : p + 1;
        }
        p = *p == '=' ? SkipAttributeValue(p + 1) : p + 1;
    }
    return p;
}

} // namespace

int XmlNestingDepth(const char* text, int limit)
{
    int depth = 0;
    int deepest = 0;
    const char* p = text;
    while (deepest <= limit) {
        p = FindInText(p, '<');
        if (p == nullptr)
            break;
        if (StartsWithNoCase(p, "<?xml")) {
            p = SkipDeclaration(p + 5);
        } else if (StartsWith(p, "<!--")) {
            p = SkipPast(p + 4, "-->");
        } else if (StartsWith(p, "<![CDATA[")) {
            p = SkipPast(p + 9, "]]>");
        } else if (StartsWith(p, "</")) {
            if (depth > 0)
                --depth;
            p = SkipPast(p + 2, ">");
        } else if (IsNameStart(*(p + 1))) {
            const char* name = p + 1;
            while (IsNameChar(*name))
                ++name;
            bool selfClosing = false;
            p = SkipStartTag(name, selfClosing);
            deepest = std::max(deepest, depth + 1);
            if (!selfClosing)
                ++depth;
        } else {
            // "<!DOCTYPE", "<?target" and anything else TinyXML keeps as unknown up to '>'.
            p = SkipPast(p + 1, ">");
        }
    }
    return deepest;
}

} // namespace dvr
