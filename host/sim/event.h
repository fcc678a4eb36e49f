// One thing the program did on the simulated machine: a host call with its
// arguments and result, a line of output, a fault that fired. Events are
// small flat records, cheap enough for runs of millions of calls; they turn
// into JSON only when asked.
#ifndef VNTR_SIM_EVENT_H
#define VNTR_SIM_EVENT_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace sim {

using json = nlohmann::ordered_json;
using Bytes = std::string;

struct Field {
    enum Kind : uint8_t { kNull, kBool, kNumber, kBytes, kList };
    // A string literal of the simulator's. "args.from" is "from" inside the
    // object "args"; the fields of one object stand next to each other.
    const char* key;
    Kind kind = kNull;
    int64_t number = 0;  // also the flag
    Bytes bytes;
    std::vector<Bytes> list;
};

class Event {
   public:
    Event() = default;
    explicit Event(std::string type) : type_(std::move(type)) { fields_.reserve(10); }

    const std::string& type() const { return type_; }
    const std::vector<Field>& fields() const { return fields_; }

    Event& Num(const char* key, int64_t value);
    Event& Flag(const char* key, bool value);
    Event& Str(const char* key, Bytes value);
    // A byte string, or null for a null pointer.
    Event& StrOrNull(const char* key, const char* value);
    Event& Null(const char* key);
    Event& List(const char* key, std::vector<Bytes> value);

    const Field* Get(const char* key) const;
    bool Has(const char* key) const { return Get(key) != nullptr; }
    bool IsNull(const char* key) const;
    int64_t GetNum(const char* key, int64_t fallback = 0) const;
    bool GetFlag(const char* key, bool fallback = false) const;
    Bytes GetStr(const char* key, const Bytes& fallback = "") const;

    // The event as JSON: byte strings with one character per byte.
    json ToJson() const;
    void AppendJson(std::string& out) const;

    // A compact binary form, for passing events to the parent of a forked
    // process: keys go as the addresses of their literals, which the parent
    // shares with its child.
    void Encode(std::string& out) const;
    // Reads one event at *at (advancing it); false when the data is cut short.
    static bool Decode(const char* data, size_t size, size_t* at, Event* out);

   private:
    Field& Add(const char* key, Field::Kind kind);
    std::string type_;
    std::vector<Field> fields_;
};

// Byte strings in JSON: one character per byte (U+0000 to U+00FF), so any
// byte survives the trip; BytesOf() undoes Text().
std::string Text(const Bytes& bytes);
Bytes BytesOf(const std::string& text);
// Appends a byte string as a quoted JSON string, one character per byte.
void AppendJsonBytes(std::string& out, const Bytes& bytes);

}  // namespace sim

#endif  // VNTR_SIM_EVENT_H
