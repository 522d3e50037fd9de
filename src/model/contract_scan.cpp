#include "model/contract_scan.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vesk {
namespace {

using json = nlohmann::json;

// Where a value sits: the object or list that the loader reads it from.
enum class Ctx : std::uint8_t {
    root,
    top,
    counts,
    params,
    sigmoid,
    coupling,
    node_list,
    input_list,
    edge_list,
    node,
    input,
    edge,
    skip,  // inside a value the loader never reads
};

// How the loader reads a key: as a 32-bit int, a double, a bool or a text,
// as an object with at() or value(), or by iterating over it.
enum class Want : std::uint8_t { int32, number, boolean, string, object_at, object_value, list };

struct Field {
    std::string_view key;
    Want want;
    bool required;
    Ctx child = Ctx::skip;  // the context of an object or list value
};

constexpr Field top_fields[] = {
    {"counts", Want::object_at, true, Ctx::counts},
    {"network_parameters", Want::object_at, true, Ctx::params},
    {"nodes", Want::list, true, Ctx::node_list},
    {"inputs", Want::list, true, Ctx::input_list},
    {"edges", Want::list, false, Ctx::edge_list},
};
constexpr Field counts_fields[] = {{"n_nodes", Want::int32, true}, {"n_inputs", Want::int32, true}};
constexpr Field params_fields[] = {
    {"sigmoid", Want::object_at, true, Ctx::sigmoid},
    {"wc_coupling", Want::object_value, false, Ctx::coupling},
};
constexpr Field sigmoid_fields[] = {
    {"theta", Want::number, true}, {"beta", Want::number, true}, {"f_max", Want::number, true}};
constexpr Field coupling_fields[] = {
    {"alfa", Want::number, false},  {"epsilon", Want::number, false},
    {"gamma", Want::number, false}, {"delta", Want::number, false},
    {"tau_E", Want::number, false}, {"tau_I", Want::number, false},
};
constexpr Field node_fields[] = {
    {"node_id", Want::int32, true},          {"tau", Want::number, true},
    {"is_excitatory", Want::boolean, false}, {"row_index", Want::int32, false},
    {"pop_id", Want::string, true},          {"pop_typ", Want::string, true},
    {"con_typ", Want::string, true},         {"circ_id", Want::string, true},
    {"h_row", Want::string, true},           {"d_row", Want::string, true},
    {"mat_id", Want::string, true},
};
constexpr Field input_fields[] = {
    {"input_id", Want::int32, true},   {"input_name", Want::string, true},
    {"row_index", Want::int32, false}, {"pop_id", Want::string, false},
    {"con_typ", Want::string, false},  {"circ_id", Want::string, false},
    {"h_row", Want::string, false},    {"d_row", Want::string, false},
    {"mat_id", Want::string, false},
};
constexpr Field edge_fields[] = {
    {"source_kind", Want::string, true},
    {"source_id", Want::int32, true},
    {"target_node_id", Want::int32, true},
    {"weight_final", Want::number, true},
};
constexpr std::size_t max_fields = std::size(node_fields);

std::span<const Field> fields_of(Ctx ctx) {
    switch (ctx) {
        case Ctx::top:
            return top_fields;
        case Ctx::counts:
            return counts_fields;
        case Ctx::params:
            return params_fields;
        case Ctx::sigmoid:
            return sigmoid_fields;
        case Ctx::coupling:
            return coupling_fields;
        case Ctx::node:
            return node_fields;
        case Ctx::input:
            return input_fields;
        case Ctx::edge:
            return edge_fields;
        default:
            return {};
    }
}

int field_index(Ctx ctx, std::string_view key) {
    const auto fields = fields_of(ctx);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].key == key) return static_cast<int>(i);
    }
    return -1;
}

bool is_list(Ctx ctx) {
    return ctx == Ctx::node_list || ctx == Ctx::input_list || ctx == Ctx::edge_list;
}

enum class Kind : std::uint8_t {
    null,
    boolean,
    integer,
    unsigned_integer,
    floating,
    string,
    object,
    array
};

const char* type_name(Kind kind) {
    switch (kind) {
        case Kind::null:
            return "null";
        case Kind::boolean:
            return "boolean";
        case Kind::string:
            return "string";
        case Kind::object:
            return "object";
        case Kind::array:
            return "array";
        default:
            return "number";
    }
}

bool is_number(Kind kind) {
    return kind == Kind::integer || kind == Kind::unsigned_integer || kind == Kind::floating;
}

// One value as the parser delivered it.
struct Value {
    Kind kind = Kind::null;
    bool b = false;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double d = 0.0;
    std::string s;
};

struct Slot {
    bool present = false;
    Value value;
};

struct Frame {
    Ctx ctx = Ctx::root;
    bool is_array = false;
    std::size_t count = 0;  // elements begun so far, in an array
    std::string key;        // the current key, in an object
    int field = -1;         // the current key's field, -1 when unknown
    std::array<Slot, max_fields> slots{};
};

constexpr const char* type_error_302 = "[json.exception.type_error.302] type must be ";
constexpr const char* at_error_304 = "[json.exception.type_error.304] cannot use at() with ";
constexpr const char* value_error_306 = "[json.exception.type_error.306] cannot use value() with ";

std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known key nearest to `key`, when it is near enough to be a typo.
std::optional<std::string_view> guess_key(Ctx ctx, std::string_view key) {
    std::optional<std::string_view> best;
    std::size_t best_distance = 3;
    for (const Field& f : fields_of(ctx)) {
        const std::size_t d = edit_distance(key, f.key);
        if (d < best_distance && d < f.key.size()) {
            best_distance = d;
            best = f.key;
        }
    }
    return best;
}

struct NodeEntry {
    std::int32_t id;
    std::int32_t row;
    bool row_given;
    std::uint32_t element;
};

struct InputEntry {
    std::int32_t id;
    std::int32_t row;
    bool row_given;
    std::uint32_t element;
    std::string name;
};

// Where an edge comes from; `other` for an unknown kind or an unreadable
// source_id, whose source is not checked.
enum class EdgeSource : std::uint8_t { node, input, other };

struct EdgeEntry {
    std::int32_t target;
    std::int32_t source;
    EdgeSource from;
    std::uint32_t element;
};

// A list's elements are named by index, or by key when the list is an
// object (the loader then takes its member values).
struct ListLabels {
    bool by_key = false;
    std::vector<std::string> keys;
    std::set<std::string> seen;  // keys, to find one given twice

    std::string of(std::string_view list, std::uint32_t element) const {
        if (by_key) return std::string(list) + "." + keys[element];
        return std::string(list) + "[" + std::to_string(element) + "]";
    }
};

std::string id_list(const std::vector<std::int32_t>& ids) {
    constexpr std::size_t shown = 10;
    std::string text;
    for (std::size_t k = 0; k < ids.size() && k < shown; ++k) {
        text += (k ? ", " : "") + std::to_string(ids[k]);
    }
    if (ids.size() > shown) text += ", ... (" + std::to_string(ids.size()) + " in all)";
    return text;
}

// The file in large blocks, for the parser, which would otherwise take it
// one character at a time through a stream buffer.
class BlockReader {
  public:
    explicit BlockReader(std::FILE* file) : file_(file), block_(std::size_t{1} << 20) {}

    bool at_end() {
        if (pos_ < size_) return false;
        if (!file_) return true;
        size_ = std::fread(block_.data(), 1, block_.size(), file_);
        pos_ = 0;
        if (size_ == 0) {
            failed_ = std::ferror(file_) != 0;
            file_ = nullptr;
        }
        return size_ == 0;
    }
    const char& current() const { return block_[pos_]; }
    void advance() { ++pos_; }
    bool failed() const { return failed_; }

  private:
    std::FILE* file_;
    std::vector<char> block_;
    std::size_t pos_ = 0;
    std::size_t size_ = 0;
    bool failed_ = false;
};

// An input iterator over a BlockReader; a default-made one is the end.
class BlockIterator {
  public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    BlockIterator() = default;
    explicit BlockIterator(BlockReader* reader) : reader_(reader) {}

    reference operator*() const { return reader_->current(); }
    BlockIterator& operator++() {
        reader_->advance();
        return *this;
    }
    BlockIterator operator++(int) {
        BlockIterator before = *this;
        reader_->advance();
        return before;
    }
    bool operator==(const BlockIterator& other) const { return at_end() == other.at_end(); }
    bool operator!=(const BlockIterator& other) const { return !(*this == other); }

  private:
    bool at_end() const { return !reader_ || reader_->at_end(); }
    BlockReader* reader_ = nullptr;
};

// The event handler given to json::sax_parse.
class ContractScanner {
  public:
    ContractScanner(const std::string& file, FindingLog& log, const InputReachable& reachable)
        : file_(file), log_(log), reachable_(reachable) {
        stack_.resize(8);
    }

    bool null() { return scalar(Value{}); }
    bool boolean(bool v) {
        Value value;
        value.kind = Kind::boolean;
        value.b = v;
        return scalar(std::move(value));
    }
    bool number_integer(json::number_integer_t v) {
        Value value;
        value.kind = Kind::integer;
        value.i = v;
        return scalar(std::move(value));
    }
    bool number_unsigned(json::number_unsigned_t v) {
        Value value;
        value.kind = Kind::unsigned_integer;
        value.u = v;
        return scalar(std::move(value));
    }
    bool number_float(json::number_float_t v, const json::string_t& /*text*/) {
        Value value;
        value.kind = Kind::floating;
        value.d = v;
        return scalar(std::move(value));
    }
    bool string(json::string_t& v) {
        Value value;
        value.kind = Kind::string;
        value.s = std::move(v);
        return scalar(std::move(value));
    }
    bool binary(json::binary_t& /*v*/) { return true; }  // JSON text holds none

    bool start_object(std::size_t /*size*/) {
        open(Kind::object);
        return true;
    }
    bool start_array(std::size_t /*size*/) {
        open(Kind::array);
        return true;
    }
    bool key(json::string_t& k) {
        Frame& f = top();
        f.key = k;
        if (is_list(f.ctx)) {
            ListLabels& l = labels(f.ctx);
            if (!l.seen.insert(k).second) {
                warn(field_path(k),
                     "key '" + k + "' appears twice in this object; the last value counts",
                     "repeated key");
            }
            l.keys.push_back(k);
            return true;
        }
        if (f.ctx == Ctx::skip || f.ctx == Ctx::root) return true;
        f.field = field_index(f.ctx, k);
        if (f.field >= 0) {
            if (f.slots[static_cast<std::size_t>(f.field)].present) {
                warn(field_path(k),
                     "key '" + k + "' appears twice in this object; the last value counts",
                     "repeated key");
            }
            return true;
        }
        unknown_key(f.ctx, k);
        return true;
    }
    bool end_object() {
        close_object();
        pop();
        return true;
    }
    bool end_array() {
        pop();
        return true;
    }

    bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                     const json::exception& e) {
        const bool syntax = e.id >= 101 && e.id <= 199;  // parse_error; 406 is out_of_range
        error(here(), syntax ? "JSON parse error in " + file_ + ": " + e.what() : e.what(),
              "malformed JSON");
        failed_ = true;
        return false;
    }

    bool failed() const { return failed_; }
    ContractFacts& facts() { return facts_; }

  private:
    Frame& top() { return stack_[depth_]; }

    void push(Ctx ctx, bool is_array) {
        ++depth_;
        if (depth_ == stack_.size()) stack_.resize(stack_.size() * 2);
        Frame& f = stack_[depth_];
        f.ctx = ctx;
        f.is_array = is_array;
        f.count = 0;
        f.key.clear();
        f.field = -1;
        for (Slot& s : f.slots) s.present = false;
    }
    void pop() {
        if (depth_ > 0) --depth_;
    }

    // ---- paths --------------------------------------------------------------

    // The label of the value now being read inside frame `d`.
    std::string child_label(std::size_t d) const {
        const Frame& f = stack_[d];
        if (f.ctx == Ctx::root) return "";
        if (f.is_array) {
            // Appended, not "[" + std::to_string(...): GCC 12 inlines that
            // operator+ and then warns, wrongly, of overlapping copies
            // (-Wrestrict) in optimised builds.
            std::string label(1, '[');
            label += std::to_string(f.count == 0 ? 0 : f.count - 1);
            label += ']';
            return label;
        }
        return "." + f.key;
    }
    // The path of the value that frame `d` reads.
    std::string path_of(std::size_t d) const {
        std::string path;
        for (std::size_t k = 0; k < d; ++k) path += child_label(k);
        if (!path.empty() && path.front() == '.') path.erase(0, 1);
        return path;
    }
    std::string here() const { return path_of(depth_ + 1); }
    std::string field_path(std::string_view key) const {
        const std::string base = path_of(depth_);
        return base.empty() ? std::string(key) : base + "." + std::string(key);
    }
    std::string place(const std::string& path) const {
        return file_ + ": " + (path.empty() ? std::string("(top level)") : path);
    }

    void error(const std::string& path, std::string message, std::string kind) {
        log_.add(Severity::error, place(path), std::move(message), std::move(kind));
    }
    void warn(const std::string& path, std::string message, std::string kind) {
        log_.add(Severity::warning, place(path), std::move(message), std::move(kind));
    }

    ListLabels& labels(Ctx list) {
        return list == Ctx::node_list ? node_labels_
                                      : (list == Ctx::input_list ? input_labels_ : edge_labels_);
    }

    // ---- events ---------------------------------------------------------------

    void unknown_key(Ctx ctx, const std::string& k) {
        const std::string path = field_path(k);
        if (ctx == Ctx::params && (k == "tau_E" || k == "tau_I")) {
            warn(path,
                 "'" + k +
                     "' is ignored here: the time constants are read only from "
                     "network_parameters.wc_coupling",
                 "ignored key");
            return;
        }
        if (ctx == Ctx::input && k == "pop_typ") {
            warn(path,
                 "'pop_typ' of an input is not read: every input is 'external' in the row map",
                 "ignored key");
            return;
        }
        std::string message = "unknown key '" + k + "' is ignored";
        if (const auto guess = guess_key(ctx, k)) {
            message += " (did you mean '" + std::string(*guess) + "'?)";
        }
        warn(path, std::move(message), "unknown key");
    }

    // A value begins: an object or array (which opens a frame) or a scalar.
    bool scalar(Value&& value) {
        place_value(std::move(value));
        return true;
    }
    void open(Kind kind) {
        Value value;
        value.kind = kind;
        place_value(std::move(value));
    }

    void place_value(Value&& value) {
        Frame& f = top();
        const bool container = value.kind == Kind::object || value.kind == Kind::array;
        const bool is_array = value.kind == Kind::array;
        if (f.is_array || is_list(f.ctx)) ++f.count;  // lists given as objects count too
        switch (f.ctx) {
            case Ctx::root:
                if (value.kind == Kind::object) {
                    push(Ctx::top, false);
                    return;
                }
                error(here(), at_error_304 + std::string(type_name(value.kind)), "wrong type");
                break;
            case Ctx::skip:
                break;
            case Ctx::node_list:
            case Ctx::input_list:
            case Ctx::edge_list:
                if (value.kind == Kind::object) {
                    push(f.ctx == Ctx::node_list
                             ? Ctx::node
                             : (f.ctx == Ctx::input_list ? Ctx::input : Ctx::edge),
                         false);
                    return;
                }
                error(here(), at_error_304 + std::string(type_name(value.kind)), "wrong type");
                break;
            default:
                if (f.field < 0) break;  // an unknown key's value
                place_field(f, std::move(value));
                return;
        }
        if (container) push(Ctx::skip, is_array);
    }

    void place_field(Frame& f, Value&& value) {
        const Field& field = fields_of(f.ctx)[static_cast<std::size_t>(f.field)];
        Slot& slot = f.slots[static_cast<std::size_t>(f.field)];
        slot.present = true;
        const Kind kind = value.kind;
        const bool container = kind == Kind::object || kind == Kind::array;
        slot.value = std::move(value);
        const std::string_view key = field.key;
        switch (field.want) {
            case Want::object_at:
                if (kind == Kind::object) return push(field.child, false);
                error(field_path(key), at_error_304 + std::string(type_name(kind)), "wrong type");
                break;
            case Want::object_value:
                if (kind == Kind::object) return push(field.child, false);
                error(field_path(key), value_error_306 + std::string(type_name(kind)),
                      "wrong type");
                break;
            case Want::list:
                if (container) {
                    ListLabels& l = labels(field.child);
                    l = ListLabels{};
                    l.by_key = kind == Kind::object;
                    start_list(field.child);
                    return push(field.child, kind == Kind::array);
                }
                if (kind != Kind::null) {
                    // A scalar counts as one entry, which is no object.
                    error(field_path(key), at_error_304 + std::string(type_name(kind)),
                          "wrong type");
                }
                break;
            default:
                break;  // leaves are converted when their object ends
        }
        if (container) push(Ctx::skip, kind == Kind::array);
    }

    // A list given again replaces the first one.
    void start_list(Ctx list) {
        if (list == Ctx::node_list) nodes_.clear();
        if (list == Ctx::input_list) inputs_.clear();
        if (list == Ctx::edge_list) deferred_edges_.clear();
    }

    // ---- conversions, as the loader makes them ----------------------------------

    // `key` names the field in messages; its path is built only for one.
    std::optional<std::int32_t> to_int(const Slot& slot, std::string_view key) {
        const Value& v = slot.value;
        constexpr auto lo = std::numeric_limits<std::int32_t>::min();
        constexpr auto hi = std::numeric_limits<std::int32_t>::max();
        std::string dumped;
        switch (v.kind) {
            case Kind::boolean:
                return v.b ? 1 : 0;
            case Kind::integer:
                if (v.i >= lo && v.i <= hi) return static_cast<std::int32_t>(v.i);
                dumped = json(v.i).dump();
                break;
            case Kind::unsigned_integer:
                if (v.u <= static_cast<std::uint64_t>(hi)) return static_cast<std::int32_t>(v.u);
                dumped = json(v.u).dump();
                break;
            case Kind::floating:
                if (v.d > static_cast<double>(lo) - 1.0 && v.d < static_cast<double>(hi) + 1.0) {
                    return static_cast<std::int32_t>(v.d);
                }
                dumped = json(v.d).dump();
                break;
            default:
                error(field_path(key),
                      type_error_302 + std::string("number, but is ") + type_name(v.kind),
                      "wrong type");
                return std::nullopt;
        }
        error(field_path(key),
              "Value of '" + std::string(key) + "' does not fit a 32-bit integer: " + dumped,
              "integer out of range");
        return std::nullopt;
    }

    // Checks every field of the object that frame `f` has read; returns the
    // fields' slots for the caller's own checks. Containers were checked when
    // they began.
    void check_fields(const Frame& f) {
        const auto fields = fields_of(f.ctx);
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const Field& field = fields[i];
            const Slot& slot = f.slots[i];
            if (!slot.present) {
                if (field.required) {
                    error(path_of(depth_),
                          "[json.exception.out_of_range.403] key '" + std::string(field.key) +
                              "' not found",
                          "missing key");
                }
                continue;
            }
            const Kind kind = slot.value.kind;
            const auto wrong = [&](const char* wanted) {
                error(field_path(field.key),
                      type_error_302 + std::string(wanted) + ", but is " + type_name(kind),
                      "wrong type");
            };
            switch (field.want) {
                case Want::int32:
                    if (!is_number(kind) && kind != Kind::boolean) wrong("number");
                    break;  // the range is checked where the value is used
                case Want::number:
                    if (!is_number(kind)) wrong("number");
                    break;
                case Want::boolean:
                    if (kind != Kind::boolean) wrong("boolean");
                    break;
                case Want::string:
                    if (kind != Kind::string) wrong("string");
                    break;
                default:
                    break;
            }
        }
    }

    // An int field that is present and of a type the loader converts.
    std::optional<std::int32_t> int_field(const Frame& f, std::size_t index) {
        const Slot& slot = f.slots[index];
        const Kind kind = slot.value.kind;
        if (!slot.present || !(is_number(kind) || kind == Kind::boolean)) return std::nullopt;
        const std::string_view key = fields_of(f.ctx)[index].key;
        return to_int(slot, key);
    }

    std::uint32_t element_index() const {
        const Frame& list = stack_[depth_ - 1];
        return static_cast<std::uint32_t>(list.count - 1);
    }

    void close_object() {
        const Frame& f = top();
        switch (f.ctx) {
            case Ctx::top:
                check_fields(f);
                whole_file_checks();
                break;
            case Ctx::counts: {
                check_fields(f);
                const auto n = int_field(f, 0);
                const auto m = int_field(f, 1);
                if (n && m && *n >= 0 && *m >= 0) {
                    n_nodes_ = *n;
                    n_inputs_ = *m;
                    counts_ = Counts::known;
                    break;
                }
                counts_ = Counts::invalid;
                if ((n && *n < 0) || (m && *m < 0)) {
                    error(field_path(n && *n < 0 ? "n_nodes" : "n_inputs"),
                          "Invalid model sizes: n_nodes/n_inputs must be non-negative",
                          "negative size");
                }
                break;
            }
            case Ctx::params:
            case Ctx::sigmoid:
            case Ctx::coupling:
                check_fields(f);
                break;
            case Ctx::node: {
                check_fields(f);
                const auto id = int_field(f, 0);
                const auto row = int_field(f, 3);
                if (id)
                    nodes_.push_back({*id, row.value_or(*id), row.has_value(), element_index()});
                break;
            }
            case Ctx::input: {
                check_fields(f);
                const auto id = int_field(f, 0);
                const auto row = int_field(f, 2);
                const Slot& name = f.slots[1];
                if (id) {
                    inputs_.push_back({*id, row.value_or(*id), row.has_value(), element_index(),
                                       name.present && name.value.kind == Kind::string
                                           ? name.value.s
                                           : std::string()});
                }
                break;
            }
            case Ctx::edge:
                check_fields(f);
                check_edge(f);
                break;
            default:
                break;
        }
    }

    // As the loader: the target first, whatever the kind; then the kind, and
    // the source against the list that the kind names.
    void check_edge(const Frame& f) {
        const Slot& kind = f.slots[0];
        const auto source = int_field(f, 1);
        const auto target = int_field(f, 2);
        if (!kind.present || kind.value.kind != Kind::string) return;
        const std::string& k = kind.value.s;
        EdgeSource from = EdgeSource::other;
        if (k == "node" || k == "input") {
            from = k == "node" ? EdgeSource::node : EdgeSource::input;
        } else {
            std::string shown;
            for (const char c : k) shown += c == '\0' ? std::string("\\x00") : std::string(1, c);
            error(field_path("source_kind"), "Unknown source_kind in edges array: " + shown,
                  "unknown source_kind");
        }
        if (!target) return;
        const EdgeEntry e{*target, source.value_or(0), source ? from : EdgeSource::other,
                          element_index()};
        if (counts_ == Counts::known) {
            check_edge_bounds(e);
        } else if (counts_ == Counts::unseen) {
            deferred_edges_.push_back(e);
        }
    }

    void check_edge_bounds(const EdgeEntry& e) {
        const std::string element = edge_labels_.of("edges", e.element);
        if (e.target < 0 || e.target >= n_nodes_) {
            error(element + ".target_node_id",
                  "target_node_id out of bounds while parsing edges array", "id out of bounds");
        }
        if (e.from == EdgeSource::other) return;
        const bool from_node = e.from == EdgeSource::node;
        const std::int32_t limit = from_node ? n_nodes_ : n_inputs_;
        if (e.source < 0 || e.source >= limit) {
            error(element + ".source_id",
                  std::string(from_node ? "node" : "input") +
                      " source_id out of bounds while parsing edges array",
                  "id out of bounds");
        }
    }

    // ---- the whole file -----------------------------------------------------------

    void whole_file_checks() {
        if (counts_ != Counts::known) return;
        facts_.complete = true;
        for (const EdgeEntry& e : deferred_edges_) check_edge_bounds(e);
        deferred_edges_.clear();
        check_nodes();
        check_inputs();
    }

    void check_nodes() {
        const auto n = static_cast<std::size_t>(n_nodes_);
        std::vector<std::int64_t> entry_of(n, -1);  // the entry that counts, per node_id
        for (std::size_t k = 0; k < nodes_.size(); ++k) {
            const NodeEntry& e = nodes_[k];
            const std::string element = node_labels_.of("nodes", e.element);
            if (e.id < 0 || e.id >= n_nodes_) {
                error(element + ".node_id", "node_id out of bounds while parsing nodes array",
                      "id out of bounds");
                continue;
            }
            std::int64_t& slot = entry_of[static_cast<std::size_t>(e.id)];
            if (slot >= 0) {
                warn(element + ".node_id",
                     "node_id " + std::to_string(e.id) + " already has an entry, " +
                         node_labels_.of("nodes", nodes_[static_cast<std::size_t>(slot)].element) +
                         "; this later entry replaces it",
                     "repeated id");
            }
            slot = static_cast<std::int64_t>(k);
        }
        std::vector<std::int32_t> phantoms;
        facts_.node_rows.assign(n, 0);
        for (std::size_t id = 0; id < n; ++id) {
            const std::int64_t k = entry_of[id];
            if (k < 0) phantoms.push_back(static_cast<std::int32_t>(id));
            facts_.node_rows[id] =
                k >= 0 ? nodes_[static_cast<std::size_t>(k)].row : static_cast<std::int32_t>(id);
        }
        if (!phantoms.empty()) {
            warn("counts.n_nodes",
                 "n_nodes is " + std::to_string(n_nodes_) + " but " +
                     std::to_string(phantoms.size()) + " node_ids have no entry in nodes (" +
                     id_list(phantoms) +
                     "): each still gets an output column, named by its node_id, and no metadata",
                 "phantom node");
        }
        // Output columns are named by row index; a binding clamps the node
        // with the highest node_id of its row index.
        std::unordered_map<std::int32_t, std::int32_t> first_with_row;
        for (std::size_t id = 0; id < n; ++id) {
            const std::int64_t k = entry_of[id];
            const std::int32_t row = facts_.node_rows[id];
            const auto [it, inserted] =
                first_with_row.try_emplace(row, static_cast<std::int32_t>(id));
            if (inserted) continue;
            const std::string where =
                k >= 0 ? node_labels_.of("nodes", nodes_[static_cast<std::size_t>(k)].element) +
                             (nodes_[static_cast<std::size_t>(k)].row_given ? ".row_index"
                                                                            : ".node_id")
                       : "counts.n_nodes";
            warn(where,
                 "row_index " + std::to_string(row) + " of node_id " + std::to_string(id) +
                     " is also the row_index of node_id " + std::to_string(it->second) +
                     ": two output columns are named " + std::to_string(row) +
                     ", and a binding of " + std::to_string(row) + " clamps only node_id " +
                     std::to_string(id),
                 "repeated row_index");
            it->second = static_cast<std::int32_t>(id);
        }
    }

    void check_inputs() {
        const auto n = static_cast<std::size_t>(n_inputs_);
        std::vector<std::int64_t> entry_of(n, -1);
        for (std::size_t k = 0; k < inputs_.size(); ++k) {
            const InputEntry& e = inputs_[k];
            const std::string element = input_labels_.of("inputs", e.element);
            if (e.id < 0 || e.id >= n_inputs_) {
                error(element + ".input_id", "input_id out of bounds while parsing inputs array",
                      "id out of bounds");
                continue;
            }
            std::int64_t& slot = entry_of[static_cast<std::size_t>(e.id)];
            if (slot >= 0) {
                warn(element + ".input_id",
                     "input_id " + std::to_string(e.id) + " already has an entry, " +
                         input_labels_.of("inputs",
                                          inputs_[static_cast<std::size_t>(slot)].element) +
                         "; this later entry replaces it",
                     "repeated id");
            }
            slot = static_cast<std::int64_t>(k);
        }
        std::vector<std::int32_t> unnamed;
        for (std::size_t id = 0; id < n; ++id) {
            if (entry_of[id] < 0) unnamed.push_back(static_cast<std::int32_t>(id));
        }
        if (!unnamed.empty()) {
            warn("counts.n_inputs",
                 "n_inputs is " + std::to_string(n_inputs_) + " but " +
                     std::to_string(unnamed.size()) + " input_ids have no entry in inputs (" +
                     id_list(unnamed) + "): they have no name, so no instruction can drive them",
                 "phantom input");
        }
        facts_.input_names.assign(n, std::string());
        std::unordered_map<std::string, std::int32_t> id_with_name;
        std::unordered_map<std::int32_t, std::int32_t> id_with_row;
        for (std::size_t id = 0; id < n; ++id) {
            const std::int64_t k = entry_of[id];
            if (k < 0) continue;
            const InputEntry& e = inputs_[static_cast<std::size_t>(k)];
            facts_.input_names[id] = e.name;
            const std::string element = input_labels_.of("inputs", e.element);
            const auto [named, fresh_name] = id_with_name.try_emplace(e.name, e.id);
            if (!fresh_name) {
                warn(element + ".input_name",
                     "input_name '" + e.name + "' is also the name of input_id " +
                         std::to_string(named->second) + ": instructions drive only input_id " +
                         std::to_string(e.id),
                     "repeated input_name");
                named->second = e.id;
            }
            const auto [rowed, fresh_row] = id_with_row.try_emplace(e.row, e.id);
            if (!fresh_row) {
                warn(element + (e.row_given ? ".row_index" : ".input_id"),
                     "row_index " + std::to_string(e.row) + " of input_id " + std::to_string(e.id) +
                         " is also the row_index of input_id " + std::to_string(rowed->second) +
                         ": two input-trace columns are named " + std::to_string(e.row),
                     "repeated row_index");
            }
            if (reachable_ && !reachable_(e.name)) {
                warn(element + ".input_name",
                     "no instruction command drives the input '" + e.name + "'",
                     "unreachable input");
            }
        }
    }

    enum class Counts : std::uint8_t { unseen, known, invalid };

    const std::string& file_;
    FindingLog& log_;
    const InputReachable& reachable_;
    std::vector<Frame> stack_;
    std::size_t depth_ = 0;
    bool failed_ = false;
    ContractFacts facts_;

    Counts counts_ = Counts::unseen;
    std::int32_t n_nodes_ = 0;
    std::int32_t n_inputs_ = 0;
    std::vector<NodeEntry> nodes_;
    std::vector<InputEntry> inputs_;
    std::vector<EdgeEntry> deferred_edges_;  // read before "counts"
    ListLabels node_labels_;
    ListLabels input_labels_;
    ListLabels edge_labels_;
};

}  // namespace

ContractFacts check_contract(const std::string& path, FindingLog& log,
                             const InputReachable& reachable) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                               &std::fclose);
    if (!file) {
        log.add(Severity::error, path, "Failed to open model file: " + path, "unreadable file");
        return {};
    }
    BlockReader reader(file.get());
    if (reader.at_end()) {
        if (reader.failed()) {
            log.add(Severity::error, path, "Failed to read model file: " + path, "unreadable file");
            return {};
        }
        log.add(Severity::error, path,
                "JSON parse error in " + path +
                    ": [json.exception.parse_error.101] parse error at line 1, column 1: "
                    "attempting to parse an empty input; check that your input string or stream "
                    "contains the expected JSON",
                "malformed JSON");
        return {};
    }
    ContractScanner scanner(path, log, reachable);
    json::sax_parse(BlockIterator(&reader), BlockIterator(), &scanner, json::input_format_t::json,
                    false);
    if (reader.failed()) {
        log.add(Severity::error, path, "Failed to read model file: " + path, "unreadable file");
        return {};
    }
    if (scanner.failed()) return {};
    return std::move(scanner.facts());
}

}  // namespace vesk
