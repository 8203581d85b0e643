#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dvr::inspect {

// Builds one JSON text: objects and arrays are opened and closed in order, commas are placed as
// values are added, and strings are escaped (control characters, quotes, backslashes, and bytes
// that are not valid UTF-8, which become U+FFFD so the output always parses).
class JsonWriter {
public:
    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    // The name of the next value inside an object.
    void Key(std::string_view name);
    void String(std::string_view text);
    void Number(int64_t value);
    void Bool(bool value);
    void Null();

    const std::string& Text() const { return text_; }

private:
    void BeforeValue();

    std::string text_;
    bool needComma_ = false; // a value was written at the current level and no key follows it yet
};

// text as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);

} // namespace dvr::inspect
