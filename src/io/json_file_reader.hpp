#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

namespace velk::io {

// A failure a JsonFileReader has already described; passed on unchanged.
class JsonFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The message of an exception without the JSON library's "[json.exception.x.n] " tag.
std::string jsonErrorReason(const std::exception& error);

// Reads the members of a JSON document that came from a file. Every failure, the
// JSON library's own errors included, is rethrown as std::runtime_error
// "<prefix><reason> in <file>", or "<prefix><reason> in '<member>' of <file>" once
// the member is known, so the message always names the file.
class JsonFileReader {
public:
    // `prefix` starts every message ("io: ", "[Benchmark] ").
    JsonFileReader(std::string file, std::string prefix);

    // The whole text as one JSON object; anything else is refused.
    nlohmann::json parseObject(const std::string& text) const;

    // read(value of object[key]); a missing member is an error. `where` names the
    // object inside the document ("results[2]"), empty for the document itself.
    template <typename Read>
    decltype(auto) required(const nlohmann::json& object, const std::string& key, Read&& read,
                            const std::string& where = std::string()) const {
        const auto found = object.find(key);
        if (found == object.end()) {
            fail("key '" + key + "' not found", where);
        }
        return guarded(memberPath(where, key), [&]() -> decltype(auto) { return read(*found); });
    }

    // read(value of object[key]) when the member is present and not null.
    template <typename Read>
    void optional(const nlohmann::json& object, const std::string& key, Read&& read,
                  const std::string& where = std::string()) const {
        const auto found = object.find(key);
        if (found != object.end() && !found->is_null()) {
            guarded(memberPath(where, key), [&] { read(*found); });
        }
    }

    // Runs `read`, turning any failure into this reader's error for `where`.
    template <typename Read>
    decltype(auto) guarded(const std::string& where, Read&& read) const {
        try {
            return read();
        } catch (const JsonFileError&) {
            throw;
        } catch (const std::exception& error) {
            fail(reasonOf(error), where);
        }
    }

    [[noreturn]] void fail(const std::string& reason, const std::string& where) const;

private:
    static std::string memberPath(const std::string& where, const std::string& key);
    // The message without the JSON library's "[json.exception.x.n] " tag, this reader's
    // prefix or the "io: " of the value readers.
    std::string reasonOf(const std::exception& error) const;

    std::string file_;
    std::string prefix_;
};

}  // namespace velk::io
