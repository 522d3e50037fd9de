#include "contract/contract_fast_reader.hpp"

#include <fcntl.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "contract/contract_schema.hpp"
#include "contract/load_sink.hpp"

// How the reader stays exact without a JSON scanner of its own.
//
// The library parses whole documents only, and its index of a document takes
// about as much memory as the text; parsing the whole file at once would
// need twice its size. So the file is parsed in pieces, and each cut between
// pieces is proven by the library itself:
//
// * The head: the text up to the value of the top-level "edges" key. A
//   candidate is an occurrence of "edges" followed by a colon; the text up to
//   the colon, completed with `null}`, must parse as a document whose root
//   object ends with that key. A candidate in a string or deeper down leaves
//   an open string or object behind and fails to parse.
// * The edges: each piece is a run of elements cut just after a '}' that is
//   followed by ',' or ']', and is parsed wrapped in brackets. A piece starts
//   where an element starts, so it parses only when the cut lies between two
//   elements; a cut inside a string or a nested value leaves it open.
// * Between pieces only whitespace and the one comma are left, and after the
//   array the closing brace of the root object; they are checked by hand.
//
// Every byte up to the end of the root object is thus parsed and validated
// by the library, in the same context as in the whole document. The library
// reads numbers correctly rounded, as strtod does for the full reader.
// String escapes are left to the full reader, which treats unpaired
// surrogates its own way.

namespace vesk {
namespace {

namespace dom = simdjson::dom;

constexpr std::size_t padding = simdjson::SIMDJSON_PADDING;
constexpr std::string_view edges_key = "\"edges\"";
// Occurrences of "edges" that are tried as the top-level key before giving up.
constexpr int max_head_candidates = 4;
// Cuts tried per piece before giving up (a '}' followed by a comma inside a
// nested array of an element is one that fails).
constexpr int max_cut_candidates = 4;
constexpr std::size_t max_piece_bytes = std::size_t{1} << 30;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A regular file read by offset. Pipes and devices are not opened at all:
// reading them would take bytes the full reader needs.
class ContractFile {
  public:
    ContractFile() = default;
    ContractFile(const ContractFile&) = delete;
    ContractFile& operator=(const ContractFile&) = delete;
    ~ContractFile() {
        if (fd_ >= 0) ::close(fd_);
    }

    bool open(const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
        size_ = static_cast<std::uint64_t>(st.st_size);
        return true;
    }

    // The size when opened; only a hint, the file may change under us.
    std::uint64_t size() const { return size_; }

    // Reads up to `n` bytes at `offset` into `dst`; fewer only at the end of
    // the file. False on a read error.
    bool read_at(std::uint64_t offset, char* dst, std::size_t n, std::size_t& got) const {
        got = 0;
        while (got < n) {
            const ssize_t r = ::pread(fd_, dst + got, n - got, static_cast<off_t>(offset + got));
            if (r < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (r == 0) break;
            got += static_cast<std::size_t>(r);
        }
        return true;
    }

    // The first byte at or after `offset` that is no whitespace, and where
    // it is. False at the end of the file or on a read error.
    bool next_token(std::uint64_t offset, char& c, std::uint64_t& at) const {
        char chunk[512];
        for (;;) {
            std::size_t got = 0;
            if (!read_at(offset, chunk, sizeof chunk, got) || got == 0) return false;
            for (std::size_t i = 0; i < got; ++i) {
                if (!is_space(chunk[i])) {
                    c = chunk[i];
                    at = offset + i;
                    return true;
                }
            }
            offset += got;
        }
    }

  private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// A buffer with the padding the parser may read past the text.
class PaddedText {
  public:
    char* reserve(std::size_t n) {
        if (bytes_.size() < n + padding) bytes_.assign(n + padding, ' ');
        return bytes_.data();
    }
    char* data() { return bytes_.data(); }
    void release() { std::vector<char>().swap(bytes_); }

  private:
    std::vector<char> bytes_;
};

// Typed reads of values, as the full reader converts them; false for every
// value that it would reject or convert in another way.
bool as_int32(dom::element v, std::int32_t& out) {
    // A float, even a whole one, and an integer beyond 64 bits go to the
    // full reader; UINT64 holds only integers beyond the int64 range.
    std::int64_t i = 0;
    if (v.type() != dom::element_type::INT64 || v.get_int64().get(i) != simdjson::SUCCESS) {
        return false;
    }
    if (i < std::numeric_limits<std::int32_t>::min() ||
        i > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    out = static_cast<std::int32_t>(i);
    return true;
}

bool as_double(dom::element v, double& out) {
    switch (v.type()) {
        case dom::element_type::INT64: {
            std::int64_t i = 0;
            if (v.get_int64().get(i) != simdjson::SUCCESS) return false;
            out = static_cast<double>(i);
            return true;
        }
        case dom::element_type::UINT64: {
            std::uint64_t u = 0;
            if (v.get_uint64().get(u) != simdjson::SUCCESS) return false;
            out = static_cast<double>(u);
            return true;
        }
        case dom::element_type::DOUBLE:
            return v.get_double().get(out) == simdjson::SUCCESS;
        default:
            return false;
    }
}

bool as_bool(dom::element v, bool& out) {
    return v.get_bool().get(out) == simdjson::SUCCESS;
}

bool as_string(dom::element v, std::string& out) {
    std::string_view s;
    if (v.get_string().get(s) != simdjson::SUCCESS) return false;
    out.assign(s.data(), s.size());
    return true;
}

// The members of an object that the reader looks at, by name; false when the
// value is no object or names one of them twice (the full reader keeps the
// later one; that is left to it).
template <std::size_t N>
struct Members {
    std::array<dom::element, N> value{};
    std::array<bool, N> found{};

    bool take(dom::element v, const std::array<std::string_view, N>& names) {
        dom::object object;
        if (v.get_object().get(object) != simdjson::SUCCESS) return false;
        for (const dom::key_value_pair member : object) {
            for (std::size_t i = 0; i < N; ++i) {
                if (member.key != names[i]) continue;
                if (found[i]) return false;
                found[i] = true;
                value[i] = member.value;
                break;
            }
        }
        return true;
    }
};

// The keys of an object of the contract, from its schema, in the schema's
// order of fields.
template <std::size_t N>
constexpr std::array<std::string_view, N> names_of(const Field (&fields)[N]) {
    std::array<std::string_view, N> names{};
    for (std::size_t i = 0; i < N; ++i) names[i] = fields[i].key;
    return names;
}

constexpr std::size_t top_count = std::size(top_fields);
static_assert(edges_key.substr(1, edges_key.size() - 2) == top_fields[top_edges].key);

// Reads the constants of one object of the schema (the sigmoid or the
// coupling), defaults where missing, and hands them to the sink.
template <std::size_t N>
bool read_constants(const dom::element* object, Ctx ctx, const Field (&fields)[N], LoadSink& sink) {
    Members<N> m;
    if (object && !m.take(*object, names_of(fields))) return false;
    NetworkParameters values;
    for (std::size_t i = 0; i < N; ++i) {
        values.*fields[i].parameter = fields[i].number_default;
        if (!m.found[i]) {
            if (fields[i].required) return false;
        } else if (!as_double(m.value[i], values.*fields[i].parameter)) {
            return false;
        }
    }
    sink.parameters(ctx, values);
    return true;
}

bool read_parameters(dom::element params, LoadSink& sink) {
    Members<std::size(params_fields)> p;
    if (!p.take(params, names_of(params_fields)) || !p.found[params_sigmoid]) return false;
    const dom::element* coupling =
        p.found[params_wc_coupling] ? &p.value[params_wc_coupling] : nullptr;
    return read_constants(&p.value[params_sigmoid], Ctx::sigmoid, sigmoid_fields, sink) &&
           read_constants(coupling, Ctx::coupling, coupling_fields, sink);
}

// Reads the row-map texts of an entry into `md`; a missing optional one
// takes its default text, or `named` where its default is the entry's name.
template <std::size_t N>
bool read_texts(const Members<N>& m, const Field (&fields)[N], PopulationMetadata& md,
                std::string_view named) {
    for (std::size_t i = 0; i < N; ++i) {
        const Field& f = fields[i];
        if (!f.text) continue;
        if (m.found[i]) {
            if (!as_string(m.value[i], md.*f.text)) return false;
        } else if (f.required) {
            return false;
        } else {
            md.*f.text = f.default_key.empty() ? f.text_default : named;
        }
    }
    return true;
}

// Reads an entry's id and its row index, which defaults to the id.
template <std::size_t N>
bool read_id_and_row(const Members<N>& m, std::size_t id, std::size_t row,
                     std::optional<std::int32_t>& id_out, bool& row_given, PopulationMetadata& md) {
    std::int32_t value = 0;
    if (!m.found[id] || !as_int32(m.value[id], value)) return false;
    id_out = value;
    md.row_index = value;
    row_given = m.found[row];
    return !row_given || as_int32(m.value[row], md.row_index);
}

bool read_nodes(dom::element list, LoadSink& sink) {
    dom::array array;
    if (list.get_array().get(array) != simdjson::SUCCESS) return false;
    enum {
        tau = node_tau,
        excitatory = node_is_excitatory,
    };
    sink.reserve_nodes(array.size());  // at most 0xFFFFFF: the library's count saturates
    std::uint64_t position = 0;
    for (const dom::element entry : array) {
        Members<std::size(node_fields)> m;
        if (!m.take(entry, names_of(node_fields))) return false;
        NodeEntry e;
        e.at.position = position++;
        if (!read_id_and_row(m, node_node_id, node_row_index, e.id, e.row_given, e.md)) {
            return false;
        }
        e.md.node_id = *e.id;
        if (!m.found[tau] || !as_double(m.value[tau], e.tau)) return false;
        if (m.found[excitatory] && !as_bool(m.value[excitatory], e.is_excitatory)) return false;
        if (!read_texts(m, node_fields, e.md, {})) return false;
        e.complete = true;
        sink.node(std::move(e));
    }
    return true;
}

bool read_inputs(dom::element list, LoadSink& sink) {
    dom::array array;
    if (list.get_array().get(array) != simdjson::SUCCESS) return false;
    std::uint64_t position = 0;
    for (const dom::element entry : array) {
        Members<std::size(input_fields)> m;
        if (!m.take(entry, names_of(input_fields))) return false;
        InputEntry e;
        e.at.position = position++;
        if (!read_id_and_row(m, input_input_id, input_row_index, e.id, e.row_given, e.md)) {
            return false;
        }
        e.md.node_id = -1;
        e.md.input_id = *e.id;
        if (!m.found[input_input_name] || !as_string(m.value[input_input_name], e.name)) {
            return false;
        }
        if (!read_texts(m, input_fields, e.md, e.name)) return false;
        e.md.pop_typ = input_pop_typ;
        e.complete = true;
        sink.input(std::move(e));
    }
    return true;
}

// Hands the parsed head to the sink: the sizes, the constants and the
// entries. The root object must end with the key "edges" holding null (the
// completion of the cut).
bool read_top(dom::element root, LoadSink& sink) {
    Members<top_count> top;
    if (!top.take(root, names_of(top_fields))) return false;
    for (bool f : top.found) {
        if (!f) return false;
    }
    dom::object object;
    if (root.get_object().get(object) != simdjson::SUCCESS) return false;
    std::string_view last_key;
    for (const dom::key_value_pair member : object) last_key = member.key;
    if (last_key != top_fields[top_edges].key || !top.value[top_edges].is_null()) return false;

    Members<std::size(counts_fields)> sizes;
    std::int32_t n_nodes = 0;
    std::int32_t n_inputs = 0;
    if (!sizes.take(top.value[top_counts], names_of(counts_fields)) ||
        !sizes.found[counts_n_nodes] || !sizes.found[counts_n_inputs] ||
        !as_int32(sizes.value[counts_n_nodes], n_nodes) ||
        !as_int32(sizes.value[counts_n_inputs], n_inputs) || !counts_valid(n_nodes, n_inputs)) {
        return false;
    }
    sink.counts(true, n_nodes, n_inputs);
    return read_parameters(top.value[top_network_parameters], sink) &&
           read_nodes(top.value[top_nodes], sink) && read_inputs(top.value[top_inputs], sink);
}

// The contract being read: the file, the parser, and the sink that
// assembles the Network.
class FastReader {
  public:
    FastReader(const ContractFile& file, std::size_t piece_bytes, LoadSink& sink)
        : file_(file), piece_bytes_(piece_size(piece_bytes, file.size())), sink_(sink) {}

    // Hands the whole text to the sink; false, having stopped, at the first
    // thing the full reader has to judge.
    bool read() {
        // Deeper texts go to the full reader, which refuses them with its
        // message; a piece of the edges is parsed one level below the root.
        if (parser_.allocate(padding, max_nesting) != simdjson::SUCCESS) return false;
        std::uint64_t edges_at = 0;
        if (!read_head(edges_at)) return false;
        // The sink holds the head now: its text and index are freed.
        text_.release();
        parser_ = dom::parser();
        if (parser_.allocate(padding, max_nesting - 1) != simdjson::SUCCESS) return false;
        return read_edges(edges_at);
    }

  private:
    // No piece needs to be larger than the file (while it stays as it was).
    static std::size_t piece_size(std::size_t wanted, std::uint64_t file_size) {
        constexpr std::size_t smallest = 64;
        if (file_size < wanted) wanted = static_cast<std::size_t>(file_size) + 1;
        return wanted < smallest ? smallest : wanted;
    }

    // Finds the top-level "edges" key (see the top of this file), parses the
    // head, hands it to the sink and sets `edges_at` to the offset of the
    // '[' of the edges.
    bool read_head(std::uint64_t& edges_at) {
        char c = 0;
        // nlohmann skips a byte order mark at the very start.
        char bom[3] = {};
        std::size_t got = 0;
        if (!file_.read_at(0, bom, 3, got)) return false;
        const std::uint64_t start = got == 3 && std::memcmp(bom, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
        // Candidates are searched chunk by chunk, the chunks overlapping by
        // the length of the key.
        std::vector<char> chunk(piece_bytes_);
        std::uint64_t chunk_at = start;
        int candidates = 0;
        for (;;) {
            if (!file_.read_at(chunk_at, chunk.data(), chunk.size(), got)) return false;
            const std::string_view text(chunk.data(), got);
            for (std::size_t key = text.find(edges_key); key != std::string_view::npos;
                 key = text.find(edges_key, key + 1)) {
                const std::uint64_t after_key = chunk_at + key + edges_key.size();
                std::uint64_t colon = 0;
                std::uint64_t bracket = 0;
                if (!file_.next_token(after_key, c, colon) || c != ':' ||
                    !file_.next_token(colon + 1, c, bracket) || c != '[') {
                    continue;
                }
                if (++candidates > max_head_candidates) return false;
                dom::element root;
                if (!parse_head(start, colon + 1, root)) continue;
                // The cut is proven; whatever fails from here fails for good.
                edges_at = bracket;
                return read_top(root, sink_);
            }
            if (got < chunk.size()) return false;
            chunk_at += got - (edges_key.size() - 1);
        }
    }

    // Parses the file from `start` up to `end`, completed with `null}`.
    // Escapes anywhere go to the full reader.
    bool parse_head(std::uint64_t start, std::uint64_t end, dom::element& root) {
        constexpr std::string_view completion = "null}";
        const auto prefix = static_cast<std::size_t>(end - start);
        char* text = text_.reserve(prefix + completion.size());
        std::size_t got = 0;
        if (!file_.read_at(start, text, prefix, got) || got != prefix) return false;
        if (std::memchr(text, '\\', prefix) != nullptr) return false;
        std::memcpy(text + prefix, completion.data(), completion.size());
        return parser_.parse(text, prefix + completion.size(), false).get(root) ==
               simdjson::SUCCESS;
    }

    // Offset just past the last '}' in text[0, limit) that is followed,
    // after whitespace within text[0, n), by ',' or ']'; 0 when none is.
    static std::size_t find_cut(const char* text, std::size_t n, std::size_t limit) {
        while (limit > 0) {
            const void* hit = ::memrchr(text, '}', limit);
            if (hit == nullptr) return 0;
            const std::size_t brace =
                static_cast<std::size_t>(static_cast<const char*>(hit) - text);
            std::size_t k = brace + 1;
            while (k < n && is_space(text[k])) ++k;
            if (k < n && (text[k] == ',' || text[k] == ']')) return brace + 1;
            limit = brace;
        }
        return 0;
    }

    // Reads the elements of the array whose '[' is at `bracket`, piece by
    // piece, then checks that the root object closes after it.
    bool read_edges(std::uint64_t bracket) {
        char c = 0;
        std::uint64_t at = 0;
        if (!file_.next_token(bracket + 1, c, at)) return false;
        std::uint64_t next = bracket + 1;  // where the next piece starts
        bool more = c != ']';
        if (!more) next = at + 1;
        std::size_t window = piece_bytes_;
        while (more) {
            // text = '[' + up to `window` bytes of the file + ']'
            char* text = text_.reserve(window + 2);
            std::size_t got = 0;
            if (!file_.read_at(next, text + 1, window, got)) return false;
            const char* body = text + 1;
            std::size_t cut = find_cut(body, got, got);
            if (cut == 0) {
                // One element longer than the window, or no more elements.
                if (got < window || window >= max_piece_bytes) return false;
                window *= 2;
                continue;
            }
            if (std::memchr(body, '\\', cut) != nullptr) return false;
            text[0] = '[';
            dom::element root;
            int tries = 1;
            for (;;) {
                // The closing bracket takes the place of the byte after the
                // cut for the parse.
                const char after = body[cut];
                text[cut + 1] = ']';
                const bool parsed =
                    parser_.parse(text, cut + 2, false).get(root) == simdjson::SUCCESS;
                text[cut + 1] = after;
                if (parsed) break;
                if (++tries > max_cut_candidates) return false;
                cut = find_cut(body, got, cut - 1);
                if (cut == 0) return false;
            }
            if (!add_edges(root)) return false;
            std::size_t k = cut;
            while (is_space(body[k])) ++k;
            more = body[k] == ',';
            next += k + 1;
            window = piece_bytes_;
            if (more && next - bracket == k + 2) reserve_like_first_piece(bracket, next);
        }
        return file_.next_token(next, c, at) && c == '}';
    }

    // Reserves room for as many edges as the file would hold if the rest of
    // it were like its first piece, sparing the copies of a growing list.
    // The guess is bounded by the size of the file.
    void reserve_like_first_piece(std::uint64_t bracket, std::uint64_t next) {
        const double per_byte =
            static_cast<double>(sink_.edge_count()) / static_cast<double>(next - bracket);
        const double rest = static_cast<double>(file_.size() > next ? file_.size() - next : 0);
        sink_.reserve_edges(static_cast<std::size_t>(per_byte * rest));
    }

    bool add_edges(dom::element piece) {
        dom::array array;
        if (piece.get_array().get(array) != simdjson::SUCCESS) return false;
        for (const dom::element element : array) {
            dom::object edge;
            if (element.get_object().get(edge) != simdjson::SUCCESS) return false;
            std::string_view kind;
            Triplet t;
            unsigned seen = 0;
            for (const dom::key_value_pair member : edge) {
                // The four names differ in length: one comparison decides.
                unsigned bit = 0;
                bool ok = true;
                switch (member.key.size()) {
                    case edge_fields[edge_source_kind].key.size():
                        if (member.key != edge_fields[edge_source_kind].key) continue;
                        bit = 1;
                        ok = member.value.get_string().get(kind) == simdjson::SUCCESS;
                        break;
                    case edge_fields[edge_source_id].key.size():
                        if (member.key != edge_fields[edge_source_id].key) continue;
                        bit = 2;
                        ok = as_int32(member.value, t.col);
                        break;
                    case edge_fields[edge_target_node_id].key.size():
                        if (member.key != edge_fields[edge_target_node_id].key) continue;
                        bit = 4;
                        ok = as_int32(member.value, t.row);
                        break;
                    case edge_fields[edge_weight_final].key.size():
                        if (member.key != edge_fields[edge_weight_final].key) continue;
                        bit = 8;
                        ok = as_double(member.value, t.value);
                        break;
                    default:
                        continue;
                }
                if (!ok || (seen & bit) != 0) return false;
                seen |= bit;
            }
            if (seen != 15) return false;
            if (kind == source_kind_node) {
                sink_.add_edge(t, EdgeSource::node);
            } else if (kind == source_kind_input) {
                sink_.add_edge(t, EdgeSource::input);
            } else {
                return false;
            }
        }
        return true;
    }

    const ContractFile& file_;
    const std::size_t piece_bytes_;
    LoadSink& sink_;
    dom::parser parser_;  // the head, then the pieces of the edges
    PaddedText text_;
};

}  // namespace

bool read_contract_fast(const std::string& path, Network& net, const FastReadOptions& options) {
    ContractFile file;
    if (!file.open(path)) return false;
    try {
        LoadSink sink(path, options.size_check);
        {
            FastReader reader(file, options.piece_bytes, sink);
            if (!reader.read()) return false;
        }  // the reader's buffers are freed before the Network is built
        sink.finish(true);
        sink.build(net);
        return true;
    } catch (const std::exception&) {
        // A fault the sink found (an id out of bounds, a model too large), or
        // out of memory here, which may still leave room for the full reader:
        // the full reader gives the message.
        return false;
    }
}

}  // namespace vesk
