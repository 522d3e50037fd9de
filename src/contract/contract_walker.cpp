#include "contract/contract_walker.hpp"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <istream>
#include <iterator>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <span>
#include <stdexcept>
#include <streambuf>
#include <utility>
#include <vector>

namespace vesk {

using json = nlohmann::json;

Rank entry_rank(Stage stage, const EntryRef& entry, std::uint16_t step) {
    if (entry.keyed) return {stage, 1, entry.key, step};
    return {stage, entry.position + 1, {}, step};
}

void raise_fault(const Fault& fault) {
    const MessageEntry& entry = message_entry(fault.msg);
    // The library's create() puts its own prefix before the text.
    const std::string text = fault.text.substr(fault.text.find("] ") + 2);
    switch (entry.raised) {
        case Raised::type_error:
            throw json::type_error::create(entry.library_id, text, nullptr);
        case Raised::out_of_range:
            throw json::out_of_range::create(entry.library_id, text, nullptr);
        default:
            throw std::runtime_error(fault.text);
    }
}

void FaultRanking::add(const Fault& fault) {
    const auto s = static_cast<std::size_t>(fault.rank.stage);
    std::optional<Fault>* kept = nullptr;
    if (fault.rank.element == 1 && !fault.rank.key.empty()) {
        auto [it, fresh] = by_key_[s].try_emplace(fault.rank.key, fault);
        if (!fresh && fault.rank < it->second.rank) it->second = fault;
        return;
    }
    kept = &by_stage_[s];
    if (!*kept || fault.rank < (*kept)->rank) *kept = fault;
}

void FaultRanking::forget(Stage stage, const EntryRef* entry) {
    const auto s = static_cast<std::size_t>(stage);
    if (entry) {
        by_key_[s].erase(entry->key);
        return;
    }
    by_stage_[s].reset();
    by_key_[s].clear();
}

const Fault* FaultRanking::first() const {
    const Fault* best = nullptr;
    for (std::size_t s = 0; s < stage_count; ++s) {
        const auto consider = [&best](const Fault& f) {
            if (!best || f.rank < best->rank) best = &f;
        };
        if (by_stage_[s]) consider(*by_stage_[s]);
        if (!by_key_[s].empty()) {
            // Keys rank in their order; an empty key ranks as an element.
            consider(by_key_[s].begin()->second);
        }
        if (best) return best;
    }
    return best;
}

namespace {

bool is_list(Ctx ctx) {
    return ctx == Ctx::node_list || ctx == Ctx::input_list || ctx == Ctx::edge_list;
}

Stage stage_of(Ctx ctx) {
    switch (ctx) {
        case Ctx::counts:
            return Stage::counts;
        case Ctx::params:
            return Stage::parameters;
        case Ctx::sigmoid:
            return Stage::sigmoid;
        case Ctx::coupling:
            return Stage::coupling;
        case Ctx::node_list:
        case Ctx::node:
            return Stage::nodes;
        case Ctx::input_list:
        case Ctx::input:
            return Stage::inputs;
        case Ctx::edge_list:
        case Ctx::edge:
            return Stage::edges;
        default:
            return Stage::root;
    }
}

Ctx entry_ctx(Ctx list) {
    return list == Ctx::node_list ? Ctx::node : (list == Ctx::input_list ? Ctx::input : Ctx::edge);
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
using Slots = std::array<Slot, max_fields>;

// One open object or array. Values the loader never reads get frames too,
// so that places stay exact, but no slots.
struct Frame {
    Ctx ctx = Ctx::root;
    bool is_array = false;
    std::uint64_t count = 0;        // elements begun so far, in an array or a list
    std::string key;                // the current key, in an object
    int field = -1;                 // the current key's field, -1 when unknown
    std::span<const Field> fields;  // fields_of(ctx)
};

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

// A NUL from a "\u0000" escape would cut the message short where it is
// printed; the run driver escapes the other control characters.
std::string without_nul(std::string_view text) {
    std::string result;
    for (const char c : text) {
        if (c == '\0') {
            result += "\\x00";
        } else {
            result += c;
        }
    }
    return result;
}

// The file in large blocks, or a text in memory, for the parser, which takes
// it character by character through the buffer's inline fast path.
class BlockBuffer : public std::streambuf {
  public:
    explicit BlockBuffer(std::FILE* file) : file_(file), block_(std::size_t{1} << 20) {}
    explicit BlockBuffer(std::string_view text) {
        // The parser only reads: the text is never written through this pointer.
        char* begin = const_cast<char*>(text.data());
        setg(begin, begin, begin + text.size());
    }
    bool failed() const { return failed_; }
    // Bytes taken from the text so far.
    std::uint64_t position() const {
        return before_ + static_cast<std::uint64_t>(gptr() - eback());
    }

  protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (!file_) return traits_type::eof();
        before_ += static_cast<std::uint64_t>(egptr() - eback());
        const std::size_t n = std::fread(block_.data(), 1, block_.size(), file_);
        if (n == 0) {
            failed_ = std::ferror(file_) != 0;
            file_ = nullptr;
            return traits_type::eof();
        }
        setg(block_.data(), block_.data(), block_.data() + n);
        return traits_type::to_int_type(block_[0]);
    }

  private:
    std::FILE* file_ = nullptr;
    std::vector<char> block_;
    bool failed_ = false;
    std::uint64_t before_ = 0;  // bytes of the blocks before the current one
};

// Whitespace before the first value, taken off before the parser sees it:
// the parser would keep every byte of it in its token buffer, and 1 GB of
// blank lines would take 2 GB. Its messages are then put right: the
// position moves by what was taken, and a "last read" that goes back to the
// start of the text gets it back.
class LeadingSpace {
  public:
    // Takes whitespace off the front of `buffer` while it can be told again
    // in a few runs of one character.
    void skip(std::streambuf& buffer) {
        constexpr std::size_t max_runs = std::size_t{1} << 16;
        for (int c = buffer.sgetc(); c == ' ' || c == '\t' || c == '\n' || c == '\r';
             c = buffer.snextc()) {
            if (runs_.empty() || runs_.back().first != c) {
                if (runs_.size() == max_runs) return;
                runs_.emplace_back(static_cast<char>(c), 0);
            }
            ++runs_.back().second;
            columns_ = c == '\n' ? 0 : columns_ + 1;
            lines_ += c == '\n';
        }
    }

    // The parser's message as it would read on the whole text.
    std::string restore(std::string message) const {
        if (runs_.empty()) return message;
        const std::string at_line = "parse error at line ";
        const std::string at_column = ", column ";
        const std::size_t line_at = message.find(at_line);
        const std::size_t column_at =
            line_at == std::string::npos ? line_at : message.find(at_column, line_at);
        const std::size_t end =
            column_at == std::string::npos ? column_at : message.find(':', column_at);
        if (end != std::string::npos) {
            const std::size_t first = line_at + at_line.size();
            const std::size_t line = std::stoull(message.substr(first, column_at - first));
            std::size_t column = std::stoull(message.substr(column_at + at_column.size()));
            if (line == 1) column += columns_;
            message = message.substr(0, first) + std::to_string(line + lines_) + at_column +
                      std::to_string(column) + message.substr(end);
        }
        // The parser empties its record of what it read when a string, number
        // or literal begins; before that, it began at the start of the text.
        const std::string last_read = "; last read: '";
        const std::size_t read_at = message.find(last_read);
        if (read_at == std::string::npos) return message;
        const std::size_t token = read_at + last_read.size();
        if (token < message.size() &&
            std::string_view("\"-0123456789tfn").find(message[token]) != std::string_view::npos) {
            return message;
        }
        std::string taken;
        for (const auto& [c, count] : runs_) {
            const char* shown = c == '\t'   ? "<U+0009>"
                                : c == '\n' ? "<U+000A>"
                                : c == '\r' ? "<U+000D>"
                                            : " ";
            for (std::uint64_t k = 0; k < count; ++k) taken += shown;
        }
        return message.insert(token, taken);
    }

  private:
    std::vector<std::pair<char, std::uint64_t>> runs_;
    std::uint64_t lines_ = 0;    // newlines taken
    std::uint64_t columns_ = 0;  // characters taken after the last of them
};

// The event handler given to json::sax_parse.
class Walker {
  public:
    Walker(const std::string& file, ContractSink& sink, const LeadingSpace& leading)
        : file_(file), sink_(sink), warnings_(sink.wants_warnings()), leading_(leading) {
        stack_.resize(1);
        top_ = &stack_[0];
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

    bool start_object(std::size_t /*size*/) { return open(Kind::object); }
    bool start_array(std::size_t /*size*/) { return open(Kind::array); }
    bool key(json::string_t& k) {
        Frame& f = top();
        f.key = k;
        if (is_list(f.ctx)) return true;  // checked when its value begins
        if (f.ctx == Ctx::skip || f.ctx == Ctx::root) return true;
        f.field = -1;
        for (std::size_t i = 0; i < f.fields.size(); ++i) {
            if (f.fields[i].key == k) {
                f.field = static_cast<int>(i);
                break;
            }
        }
        if (f.field >= 0) {
            if (slots()[static_cast<std::size_t>(f.field)].present) {
                warn(field_path(k), Msg::repeated_key, {k});
            }
            return true;
        }
        unknown_key(f.ctx, k);
        return true;
    }
    bool end_object() {
        if (is_list(top().ctx)) flush_keyed(top().ctx);
        close_object();
        pop();
        return true;
    }
    bool end_array() {
        if (is_list(top().ctx)) flush_keyed(top().ctx);
        pop();
        return true;
    }

    bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                     const json::exception& e) {
        const bool syntax = e.id >= 101 && e.id <= 199;  // parse_error; 406 is out_of_range
        // A read failure, found once the parser stops, ranks before it.
        fault_text(here(), {Stage::read, 0, {}, 1},
                   syntax ? Msg::parse_error : Msg::number_overflow,
                   syntax ? contract_message(Msg::parse_error, {file_, leading_.restore(e.what())})
                          : e.what());
        failed_ = true;
        return false;
    }

    bool complete() const { return complete_; }

  private:
    Frame& top() { return *top_; }
    Slots& slots() { return slot_stack_[slot_depth_ - 1]; }

    void push(Ctx ctx, bool is_array) {
        ++depth_;
        if (depth_ == stack_.size()) stack_.emplace_back();
        top_ = &stack_[depth_];
        Frame& f = *top_;
        f.ctx = ctx;
        f.is_array = is_array;
        f.count = 0;
        f.key.clear();
        f.field = -1;
        f.fields = fields_of(ctx);
        if (!f.fields.empty()) {
            if (slot_depth_ == slot_stack_.size()) slot_stack_.emplace_back();
            ++slot_depth_;
            Slots& slots = slot_stack_[slot_depth_ - 1];
            for (std::size_t i = 0; i < f.fields.size(); ++i) slots[i].present = false;
        }
    }
    void pop() {
        if (depth_ == 0) return;
        if (!top_->fields.empty()) --slot_depth_;
        --depth_;
        top_ = &stack_[depth_];
    }

    // ---- paths --------------------------------------------------------------

    // The label of the value now being read inside frame `d`.
    std::string child_label(std::size_t d) const {
        const Frame& f = stack_[d];
        if (f.ctx == Ctx::root) return "";
        if (f.is_array) return "[" + std::to_string(f.count == 0 ? 0 : f.count - 1) + "]";
        return "." + f.key;
    }
    // The path of the value that frame `d` reads.
    std::string path_of(std::size_t d) const {
        std::string path;
        for (std::size_t k = 0; k < d && k < stack_.size(); ++k) path += child_label(k);
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

    // A text of its own, not the table's: the parser's messages.
    void fault_text(const std::string& path, Rank rank, Msg msg, std::string text) {
        sink_.fault({std::move(rank), place(path), msg, std::move(text)});
    }
    void fault(const std::string& path, Rank rank, Msg msg,
               std::initializer_list<std::string_view> args) {
        fault_text(path, std::move(rank), msg, contract_message(msg, args));
    }
    void warn(const std::string& path, Msg msg, std::initializer_list<std::string_view> args) {
        if (warnings_) sink_.warning(place(path), msg, contract_message(msg, args));
    }

    void unknown_key(Ctx ctx, const std::string& k) {
        if (!warnings_) return;
        const std::string path = field_path(k);
        if (ctx == Ctx::params && (k == coupling_fields[coupling_tau_E].key ||
                                   k == coupling_fields[coupling_tau_I].key)) {
            warn(path, Msg::ignored_time_constant, {k});
        } else if (ctx == Ctx::input && k == node_fields[node_pop_typ].key) {
            warn(path, Msg::ignored_input_pop_typ, {});
        } else if (const auto guess = guess_key(ctx, k)) {
            warn(path, Msg::unknown_key_guess, {k, *guess});
        } else {
            warn(path, Msg::unknown_key, {k});
        }
    }

    // ---- values -------------------------------------------------------------

    bool scalar(Value&& value) {
        place_value(std::move(value));
        return true;
    }
    // Stops the parser at a nesting no contract has, before its frames
    // take memory in proportion to the text.
    bool open(Kind kind) {
        if (depth_ >= max_nesting) {
            fault_text(
                here(), {Stage::read, 0, {}, 1}, Msg::nesting_too_deep,
                contract_message(Msg::nesting_too_deep, {std::to_string(max_nesting), file_}));
            return false;
        }
        Value value;
        value.kind = kind;
        place_value(std::move(value));
        return true;
    }

    // The entry of list frame `f` whose value begins now.
    EntryRef entry_here(const Frame& f) const {
        if (f.is_array) return {f.count - 1, false, {}};
        return {f.count - 1, true, f.key};
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
                fault(here(), stage_rank(Stage::root), Msg::at_type, {type_name(value.kind)});
                break;
            case Ctx::skip:
                break;
            case Ctx::node_list:
            case Ctx::input_list:
            case Ctx::edge_list: {
                EntryRef entry = entry_here(f);
                const Stage stage = stage_of(f.ctx);
                if (entry.keyed) {
                    auto& seen = keys_seen_[static_cast<std::size_t>(stage)];
                    if (!seen.insert(entry.key).second) {
                        warn(here(), Msg::repeated_key, {entry.key});
                        sink_.restart(stage, &entry);
                        drop_keyed(f.ctx, entry.key);
                    }
                }
                if (value.kind == Kind::object) {
                    entry_ = std::move(entry);  // entries do not nest
                    push(entry_ctx(f.ctx), false);
                    return;
                }
                fault(here(), entry_rank(stage, entry, 0), Msg::at_type, {type_name(value.kind)});
                break;
            }
            default:
                if (f.field < 0) break;  // an unknown key's value
                place_field(f, std::move(value));
                return;
        }
        if (container) push(Ctx::skip, is_array);
    }

    // The rank of the lookup of the object or list that `field` holds.
    static Rank lookup_rank(const Field& field) { return stage_rank(stage_of(field.child)); }

    void place_field(Frame& f, Value&& value) {
        const Field& field = f.fields[static_cast<std::size_t>(f.field)];
        Slot& slot = slots()[static_cast<std::size_t>(f.field)];
        const Kind kind = value.kind;
        const bool container = kind == Kind::object || kind == Kind::array;
        if (slot.present && field.child != Ctx::skip) restart(field.child);
        slot.present = true;
        slot.value.kind = kind;
        if (!container) slot.value = std::move(value);
        const std::string_view key = field.key;
        switch (field.want) {
            case Want::object_at:
                if (kind == Kind::object) return push(field.child, false);
                fault(field_path(key), lookup_rank(field), Msg::at_type, {type_name(kind)});
                break;
            case Want::object_value:
                if (kind == Kind::object) return push(field.child, false);
                fault(field_path(key), lookup_rank(field), Msg::value_type, {type_name(kind)});
                break;
            case Want::list:
                if (container) {
                    if (kind == Kind::object) warn(field_path(key), Msg::object_as_list, {key});
                    keys_seen_[static_cast<std::size_t>(stage_of(field.child))].clear();
                    return push(field.child, kind == Kind::array);
                }
                if (kind != Kind::null) {
                    // A scalar counts as one entry, which is no object.
                    fault(field_path(key), {stage_of(field.child), 1, {}, 0}, Msg::at_type,
                          {type_name(kind)});
                }
                break;
            default:
                break;  // leaves are converted when their object ends
        }
        if (container) push(Ctx::skip, kind == Kind::array);
    }

    // A value given again for a key replaces the first one and all it held;
    // a list given as an object has handed its entries over when it ended.
    void restart(Ctx child) {
        const Stage stage = stage_of(child);
        sink_.restart(stage, nullptr);
        if (child == Ctx::counts) sink_.restart(Stage::sizes, nullptr);
        if (child == Ctx::params) {
            sink_.restart(Stage::sigmoid, nullptr);
            sink_.restart(Stage::coupling, nullptr);
        }
    }

    // ---- conversions, as the loader makes them ----------------------------------

    std::optional<std::int32_t> to_int(const Value& v, std::string_view key, const Rank& rank) {
        constexpr auto lo = std::numeric_limits<std::int32_t>::min();
        constexpr auto hi = std::numeric_limits<std::int32_t>::max();
        std::string dumped;
        switch (v.kind) {
            case Kind::boolean:
                warn(field_path(key), Msg::boolean_as_integer, {key, v.b ? "1" : "0"});
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
                fault(field_path(key), rank, Msg::wrong_type, {"number", type_name(v.kind)});
                return std::nullopt;
        }
        fault(field_path(key), rank, Msg::int_range, {key, dumped});
        return std::nullopt;
    }

    std::optional<double> to_double(const Value& v, std::string_view key, const Rank& rank) {
        switch (v.kind) {
            case Kind::integer:
                return static_cast<double>(v.i);
            case Kind::unsigned_integer:
                return static_cast<double>(v.u);
            case Kind::floating:
                return v.d;
            default:
                fault(field_path(key), rank, Msg::wrong_type, {"number", type_name(v.kind)});
                return std::nullopt;
        }
    }

    std::optional<bool> to_bool(const Value& v, std::string_view key, const Rank& rank) {
        if (v.kind == Kind::boolean) return v.b;
        fault(field_path(key), rank, Msg::wrong_type, {"boolean", type_name(v.kind)});
        return std::nullopt;
    }

    bool to_string(Value& v, std::string_view key, const Rank& rank, std::string& out) {
        if (v.kind == Kind::string) {
            out = std::move(v.s);
            return true;
        }
        fault(field_path(key), rank, Msg::wrong_type, {"string", type_name(v.kind)});
        return false;
    }

    // Reads field `i` of the object now closing: false when it is missing
    // (a fault if required) or does not convert (a fault).
    template <class Read>
    bool read_field(std::size_t i, Rank rank, Read&& read) {
        const Field& field = top().fields[i];
        Slot& slot = slots()[i];
        if (!slot.present) {
            if (field.required) {
                fault(path_of(depth_), std::move(rank), Msg::missing_key, {field.key});
            }
            return false;
        }
        return read(slot.value, field.key, rank);
    }

    // Containers of the object now closing that are missing but required.
    void check_containers(const Frame& f) {
        const auto fields = f.fields;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const Field& field = fields[i];
            if (field.child == Ctx::skip || !field.required || slots()[i].present) continue;
            fault(path_of(depth_), lookup_rank(field), Msg::missing_key, {field.key});
        }
    }

    // Reads the constants of the object now closing, in order, into
    // `values` (defaults where missing); true when every one read.
    bool read_parameters(Stage stage, NetworkParameters& values) {
        const auto fields = top().fields;
        bool ok = true;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            double& value = values.*fields[i].parameter;
            value = fields[i].number_default;
            const bool read =
                read_field(i, {stage, 0, {}, field_step(static_cast<int>(i))},
                           [&](const Value& v, std::string_view key, const Rank& rank) {
                               const auto d = to_double(v, key, rank);
                               if (d) value = *d;
                               return d.has_value();
                           });
            if (!read && (fields[i].required || slots()[i].present)) ok = false;
            if (read && fields[i].positive && !(value > 0.0)) {
                warn(field_path(fields[i].key), Msg::non_positive_constant,
                     {fields[i].key, json(value).dump()});
            }
        }
        return ok;
    }

    void close_object() {
        const Frame& f = top();
        switch (f.ctx) {
            case Ctx::top:
                check_containers(f);
                complete_ = true;
                break;
            case Ctx::counts:
                close_counts();
                break;
            case Ctx::params:
                check_containers(f);
                break;
            case Ctx::sigmoid:
            case Ctx::coupling: {
                NetworkParameters values;
                if (read_parameters(stage_of(f.ctx), values)) sink_.parameters(f.ctx, values);
                break;
            }
            case Ctx::node:
                close_node();
                break;
            case Ctx::input:
                close_input();
                break;
            case Ctx::edge:
                close_edge();
                break;
            default:
                break;
        }
    }

    std::optional<std::int32_t> read_int(std::size_t i, const Rank& rank) {
        std::optional<std::int32_t> result;
        read_field(i, rank, [&](const Value& v, std::string_view key, const Rank& r) {
            result = to_int(v, key, r);
            return result.has_value();
        });
        return result;
    }

    void close_counts() {
        const auto n = read_int(counts_n_nodes, {Stage::counts, 0, {}, field_step(counts_n_nodes)});
        const auto m =
            read_int(counts_n_inputs, {Stage::counts, 0, {}, field_step(counts_n_inputs)});
        if (!n || !m) {
            sink_.counts(false, 0, 0);
            return;
        }
        const bool valid = counts_valid(*n, *m);
        if (!valid) {
            fault(field_path(counts_fields[*n < 0 ? counts_n_nodes : counts_n_inputs].key),
                  stage_rank(Stage::sizes), Msg::negative_sizes, {});
        }
        sink_.counts(valid, *n, *m);
    }

    // Reads text field `i` into `out`; a missing optional one takes its
    // default, given as `fallback`.
    bool read_text(Stage stage, const EntryRef& at, std::size_t i, std::string& out,
                   std::string_view fallback) {
        const Field& field = top().fields[i];
        if (!slots()[i].present && !field.required) {
            out.assign(fallback);
            return true;
        }
        return read_field(i, entry_rank(stage, at, field_step(static_cast<int>(i))),
                          [&](Value& v, std::string_view key, const Rank& rank) {
                              return to_string(v, key, rank, out);
                          });
    }

    // Reads every row-map text of the object now closing into `md`; a
    // missing optional one takes its default text, or `named` where its
    // default is the entry's name.
    bool read_texts(Stage stage, const EntryRef& at, PopulationMetadata& md,
                    std::string_view named) {
        const auto fields = top().fields;
        bool ok = true;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const Field& f = fields[i];
            if (!f.text) continue;
            const std::string_view fallback = f.default_key.empty() ? f.text_default : named;
            if (!read_text(stage, at, i, md.*f.text, fallback)) ok = false;
        }
        return ok;
    }

    void close_node() {
        NodeEntry e;
        e.at = std::move(entry_);
        const auto rank = [&e](int field) {
            return entry_rank(Stage::nodes, e.at, field_step(field));
        };
        bool ok = true;
        e.id = read_int(node_node_id, rank(node_node_id));
        ok = e.id.has_value();
        if (e.id) e.md.node_id = *e.id;
        if (!read_field(node_tau, rank(node_tau),
                        [&](const Value& v, std::string_view key, const Rank& r) {
                            const auto d = to_double(v, key, r);
                            if (d) e.tau = *d;
                            return d.has_value();
                        })) {
            ok = false;
        }
        if (slots()[node_is_excitatory].present &&
            !read_field(node_is_excitatory, rank(node_is_excitatory),
                        [&](const Value& v, std::string_view key, const Rank& r) {
                            const auto b = to_bool(v, key, r);
                            if (b) e.is_excitatory = *b;
                            return b.has_value();
                        })) {
            ok = false;
        }
        e.row_given = slots()[node_row_index].present;
        if (e.row_given) {
            const auto row = read_int(node_row_index, rank(node_row_index));
            if (row) e.md.row_index = *row;
            e.row_given = row.has_value();
            ok = ok && row.has_value();
        } else if (e.id) {
            e.md.row_index = *e.id;
        }
        if (!read_texts(Stage::nodes, e.at, e.md, {})) ok = false;
        e.complete = ok;
        if (e.at.keyed) {
            keyed_nodes_.insert_or_assign(e.at.key, std::move(e));
        } else {
            sink_.node(std::move(e));
        }
    }

    void close_input() {
        InputEntry e;
        e.at = std::move(entry_);
        const auto rank = [&e](int field) {
            return entry_rank(Stage::inputs, e.at, field_step(field));
        };
        e.id = read_int(input_input_id, rank(input_input_id));
        bool ok = e.id.has_value();
        e.md.node_id = -1;
        if (e.id) e.md.input_id = *e.id;
        if (!read_text(Stage::inputs, e.at, input_input_name, e.name, {})) ok = false;
        e.row_given = slots()[input_row_index].present;
        if (e.row_given) {
            const auto row = read_int(input_row_index, rank(input_row_index));
            if (row) e.md.row_index = *row;
            e.row_given = row.has_value();
            ok = ok && row.has_value();
        } else if (e.id) {
            e.md.row_index = *e.id;
        }
        if (!read_texts(Stage::inputs, e.at, e.md, e.name)) ok = false;
        e.md.pop_typ = input_pop_typ;
        e.complete = ok;
        if (e.at.keyed) {
            keyed_inputs_.insert_or_assign(e.at.key, std::move(e));
        } else {
            sink_.input(std::move(e));
        }
    }

    // As the loader: all four keys are read before any check; the target
    // is checked (by the sink, which knows the sizes) before the kind.
    void close_edge() {
        EdgeEntry e;
        e.at = std::move(entry_);
        const auto rank = [&e](int field) {
            return entry_rank(Stage::edges, e.at, field_step(field));
        };
        std::string kind;
        bool ok = read_text(Stage::edges, e.at, edge_source_kind, kind, {});
        const bool kind_read = ok;
        const auto source = read_int(edge_source_id, rank(edge_source_id));
        e.target = read_int(edge_target_node_id, rank(edge_target_node_id));
        if (!read_field(edge_weight_final, rank(edge_weight_final),
                        [&](const Value& v, std::string_view key, const Rank& r) {
                            const auto d = to_double(v, key, r);
                            if (d) e.weight = *d;
                            return d.has_value();
                        })) {
            ok = false;
        }
        ok = ok && source && e.target;
        if (!kind_read) {
            ok = false;
        } else if (kind == source_kind_node || kind == source_kind_input) {
            if (source) {
                e.from = kind == source_kind_node ? EdgeSource::node : EdgeSource::input;
                e.source = *source;
            }
        } else {
            fault(field_path(edge_fields[edge_source_kind].key),
                  entry_rank(Stage::edges, e.at, edge_kind_step), Msg::unknown_source_kind,
                  {without_nul(kind)});
            ok = false;
        }
        e.complete = ok;
        if (!kind_read) return;  // as before: an edge without a kind is not checked further
        if (e.at.keyed) {
            keyed_edges_.insert_or_assign(e.at.key, std::move(e));
        } else {
            sink_.edge(e);
        }
    }

    // The entries of a list given as an object, in the order the loader
    // reads them: by key.
    void flush_keyed(Ctx list) {
        if (list == Ctx::node_list) {
            for (auto& [key, e] : keyed_nodes_) sink_.node(std::move(e));
            keyed_nodes_.clear();
        } else if (list == Ctx::input_list) {
            for (auto& [key, e] : keyed_inputs_) sink_.input(std::move(e));
            keyed_inputs_.clear();
        } else {
            for (auto& [key, e] : keyed_edges_) sink_.edge(e);
            keyed_edges_.clear();
        }
    }
    void drop_keyed(Ctx list, const std::string& key) {
        if (list == Ctx::node_list) keyed_nodes_.erase(key);
        if (list == Ctx::input_list) keyed_inputs_.erase(key);
        if (list == Ctx::edge_list) keyed_edges_.erase(key);
    }

    const std::string& file_;
    ContractSink& sink_;
    const bool warnings_;
    const LeadingSpace& leading_;
    std::deque<Frame> stack_;  // grows without moving what it holds
    Frame* top_ = nullptr;     // stack_[depth_]
    std::size_t depth_ = 0;
    EntryRef entry_;                 // of the entry being read
    std::vector<Slots> slot_stack_;  // one per open frame with fields
    std::size_t slot_depth_ = 0;
    bool failed_ = false;
    bool complete_ = false;
    std::array<std::set<std::string>, stage_count> keys_seen_;  // keys of lists given as objects
    std::map<std::string, NodeEntry> keyed_nodes_;
    std::map<std::string, InputEntry> keyed_inputs_;
    std::map<std::string, EdgeEntry> keyed_edges_;
};

void walk(BlockBuffer& buffer, const std::string& name, ContractSink& sink) {
    const auto file_fault = [&](Msg msg, std::string text) {
        sink.fault({stage_rank(Stage::read), name, msg, std::move(text)});
        sink.finish(false);
    };
    if (buffer.sgetc() == BlockBuffer::traits_type::eof()) {
        if (buffer.failed()) {
            return file_fault(Msg::read_failed, contract_message(Msg::read_failed, {name}));
        }
        return file_fault(
            Msg::parse_error,
            contract_message(Msg::parse_error, {name, contract_message(Msg::empty_input)}));
    }
    LeadingSpace leading;
    leading.skip(buffer);
    Walker walker(name, sink, leading);
    std::istream in(&buffer);
    json::sax_parse(in, &walker, json::input_format_t::json, false);
    if (walker.complete() && sink.wants_warnings()) {
        // The loader reads the first value only; whatever follows it is
        // reported, since it may be the rest of an older, longer file.
        int c = buffer.sgetc();
        while (c == ' ' || c == '\t' || c == '\n' || c == '\r') c = buffer.snextc();
        if (c != BlockBuffer::traits_type::eof()) {
            sink.warning(
                name, Msg::trailing_content,
                contract_message(Msg::trailing_content, {std::to_string(buffer.position())}));
        }
    }
    if (buffer.failed()) {
        return file_fault(Msg::read_failed, contract_message(Msg::read_failed, {name}));
    }
    sink.finish(walker.complete());
}

}  // namespace

void walk_contract_file(const std::string& path, ContractSink& sink) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                               &std::fclose);
    if (!file) {
        sink.fault({stage_rank(Stage::read), path, Msg::open_failed,
                    contract_message(Msg::open_failed, {path})});
        sink.finish(false);
        return;
    }
    BlockBuffer buffer(file.get());
    walk(buffer, path, sink);
}

void walk_contract_text(std::string_view text, const std::string& name, ContractSink& sink) {
    BlockBuffer buffer(text);
    walk(buffer, name, sink);
}

}  // namespace vesk
