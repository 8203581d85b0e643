#include "json_writer.h"

#include <cstdio>

namespace dvr::inspect {
namespace {

// The length of the UTF-8 sequence at text[position], or 0 when it is not a valid one.
size_t Utf8SequenceLength(std::string_view text, size_t position)
{
    auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(position);
    size_t length = 0;
    uint32_t lowest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (position + length > text.size())
        return 0;
    uint32_t code = lead & (0x7Fu >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(position + i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(position + i) & 0x3Fu);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            size_t length = Utf8SequenceLength(text, i);
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escaped[8];
                snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    out += '"';
    return out;
}

void JsonWriter::BeforeValue()
{
    if (needComma_)
        text_ += ',';
    needComma_ = true;
}

void JsonWriter::BeginObject()
{
    BeforeValue();
    text_ += '{';
    needComma_ = false;
}

void JsonWriter::EndObject()
{
    text_ += '}';
    needComma_ = true;
}

void JsonWriter::BeginArray()
{
    BeforeValue();
    text_ += '[';
    needComma_ = false;
}

void JsonWriter::EndArray()
{
    text_ += ']';
    needComma_ = true;
}

void JsonWriter::Key(std::string_view name)
{
    BeforeValue();
    text_ += JsonString(name);
    text_ += ':';
    needComma_ = false;
}

void JsonWriter::String(std::string_view text)
{
    BeforeValue();
    text_ += JsonString(text);
}

void JsonWriter::Number(int64_t value)
{
    BeforeValue();
    text_ += std::to_string(value);
}

void JsonWriter::Bool(bool value)
{
    BeforeValue();
    text_ += value ? "true" : "false";
}

void JsonWriter::Null()
{
    BeforeValue();
    text_ += "null";
}

} // namespace dvr::inspect
