#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace provider {

// Streaming JSON text builder. Members come out in the order they are written, which keeps
// answers stable and lets large lists be written without building a document first.
class JsonWriter
{
public:
    JsonWriter &beginObject();
    JsonWriter &endObject();
    JsonWriter &beginArray();
    JsonWriter &endArray();
    JsonWriter &key(std::string_view name);
    JsonWriter &value(std::string_view text);
    JsonWriter &value(const char *text) { return value(std::string_view(text)); }
    JsonWriter &value(const std::string &text) { return value(std::string_view(text)); }
    JsonWriter &value(int64_t number);
    JsonWriter &value(int number) { return value(static_cast<int64_t>(number)); }
    JsonWriter &value(bool flag);
    JsonWriter &null();
    // A value that is already JSON text, such as an answer kept from before.
    JsonWriter &raw(std::string_view json);

    template <typename T> JsonWriter &field(std::string_view name, const T &v) { return key(name).value(v); }

    void reserve(size_t bytes) { out_.reserve(bytes); }
    const std::string &text() const { return out_; }
    std::string take() { return std::move(out_); }

private:
    void separate();

    std::string out_;
    std::vector<bool> hasItem_;
    bool afterKey_ = false;
};

// Appends `text` as a JSON string literal. Bytes that are not valid UTF-8 become U+FFFD so the
// answer always parses, whatever ended up in the database.
void appendJsonString(std::string &out, std::string_view text);

} // namespace provider
