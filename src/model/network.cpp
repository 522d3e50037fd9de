#include "model/network.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace vesk {
namespace {

using json = nlohmann::json;

// The library converts numbers to int with a plain cast, which wraps large
// integers and is undefined for large floats; such a value is an error here.
void check_int_range(const json& v, const char* key) {
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    bool fits = true;
    if (v.is_number_unsigned()) {
        fits = v.get<std::uint64_t>() <= static_cast<std::uint64_t>(hi);
    } else if (v.is_number_integer()) {
        const auto i = v.get<std::int64_t>();
        fits = i >= lo && i <= hi;
    } else if (v.is_number_float()) {
        // Truncation toward zero must land in range: (lo - 1, hi + 1).
        const double d = v.get<double>();
        fits = d > static_cast<double>(lo) - 1.0 && d < static_cast<double>(hi) + 1.0;
    }
    if (!fits) {
        throw std::runtime_error(std::string("Value of '") + key +
                                 "' does not fit a 32-bit integer: " + v.dump());
    }
}

int read_int(const json& obj, const char* key) {
    const json& v = obj.at(key);
    check_int_range(v, key);
    return v.get<int>();
}

// Lookup-with-default: a missing key gives `fallback`, a present one (null
// included) is converted. A non-object fails as the library's value() does.
int read_int_or(const json& obj, const char* key, int fallback) {
    if (obj.is_object()) {
        const auto it = obj.find(key);
        if (it == obj.end()) return fallback;
        check_int_range(*it, key);
    }
    return obj.value(key, fallback);
}

std::string read_string(const json& obj, const char* key) {
    return obj.at(key).get<std::string>();
}

std::string read_string_or(const json& obj, const char* key, const std::string& fallback) {
    return obj.value(key, fallback);
}

// One edge as read from its element: all four keys, in this order, before
// any check.
struct Edge {
    std::string kind;
    Triplet triplet;  // row target_node_id, column source_id, value weight_final
};

Edge read_edge(const json& element) {
    Edge e;
    e.kind = read_string(element, "source_kind");
    e.triplet.col = read_int(element, "source_id");
    e.triplet.row = read_int(element, "target_node_id");
    e.triplet.value = element.at("weight_final").get<double>();
    return e;
}

void check_target(int target, int n_nodes) {
    if (target < 0 || target >= n_nodes) {
        throw std::runtime_error("target_node_id out of bounds while parsing edges array");
    }
}

void check_node_source(int source, int n_nodes) {
    if (source < 0 || source >= n_nodes) {
        throw std::runtime_error("node source_id out of bounds while parsing edges array");
    }
}

void check_input_source(int source, int n_inputs) {
    if (source < 0 || source >= n_inputs) {
        throw std::runtime_error("input source_id out of bounds while parsing edges array");
    }
}

// Checks an edge; an input edge is appended to `input_triplets`, and true
// means a node edge, which the caller appends to its node list.
bool add_edge(const Edge& e, int n_nodes, int n_inputs, std::vector<Triplet>& input_triplets) {
    check_target(e.triplet.row, n_nodes);
    if (e.kind == "node") {
        check_node_source(e.triplet.col, n_nodes);
        return true;
    }
    if (e.kind == "input") {
        check_input_source(e.triplet.col, n_inputs);
        input_triplets.push_back(e.triplet);
        return false;
    }
    // A NUL from a "\u0000" escape would cut the message short where it is
    // printed; the run driver escapes the other control characters.
    std::string kind;
    for (const char c : e.kind) {
        if (c == '\0') {
            kind += "\\x00";
        } else {
            kind += c;
        }
    }
    throw std::runtime_error("Unknown source_kind in edges array: " + kind);
}

// nlohmann 3.11.2 reports an empty input as a plain syntax error; users get
// the clearer wording of later library releases for a zero-byte file.
constexpr const char* empty_input_error =
    "[json.exception.parse_error.101] parse error at line 1, column 1: attempting to parse an "
    "empty input; check that your input string or stream contains the expected JSON";

// The top-level "edges" array as read element by element: a well-formed
// edge (an object whose "source_kind" is "node" or "input", whose ids are
// numbers that convert to 32-bit integers and whose weight is a number) is
// kept as a triplet (row target_node_id, column source_id) and its kind; any
// other element is kept whole, so that reading it later fails exactly as in
// a parsed document.
enum class EdgeKind : std::uint8_t { node, input, whole };

struct StreamedEdges {
    std::vector<EdgeKind> kinds;    // one per element, in order
    std::vector<Triplet> triplets;  // one per element; unused for whole ones
    std::vector<json> whole;        // the elements of kind whole, in order
};

struct ContractDocument {
    json doc;
    // Set when the top-level "edges" was an array read element by element;
    // its place in `doc` then holds null.
    std::optional<StreamedEdges> edges;
};

// Builds the document as the library's own DOM builder does, except for the
// elements of the top-level object's "edges" array: those are taken apart
// as they arrive (see StreamedEdges), so that millions of edges never exist
// as JSON values. Any element that is not a plain well-formed edge is
// rebuilt by the DOM builder from its events, with the same duplicate-key
// and type behaviour. Keys other than the four an edge uses are skipped: the
// loader never reads them.
class ContractReader {
  public:
    using DomBuilder = nlohmann::detail::json_sax_dom_parser<json>;
    using string_t = json::string_t;

    explicit ContractReader(ContractDocument& out) : out_(out), dom_(out.doc) {}

    bool null() {
        if (in_edges_) return edge_scalar({}, [](DomBuilder& b) { return b.null(); });
        edges_key_pending_ = false;
        return dom_.null();
    }
    bool boolean(bool v) {
        if (in_edges_) return edge_scalar({}, [v](DomBuilder& b) { return b.boolean(v); });
        edges_key_pending_ = false;
        return dom_.boolean(v);
    }
    bool number_integer(json::number_integer_t v) {
        if (in_edges_) {
            Scalar s;
            s.type = Scalar::integer;
            s.i = v;
            return edge_scalar(s, [v](DomBuilder& b) { return b.number_integer(v); });
        }
        edges_key_pending_ = false;
        return dom_.number_integer(v);
    }
    bool number_unsigned(json::number_unsigned_t v) {
        if (in_edges_) {
            Scalar s;
            s.type = Scalar::unsigned_integer;
            s.u = v;
            return edge_scalar(s, [v](DomBuilder& b) { return b.number_unsigned(v); });
        }
        edges_key_pending_ = false;
        return dom_.number_unsigned(v);
    }
    bool number_float(json::number_float_t v, const string_t& text) {
        if (in_edges_) {
            Scalar s;
            s.type = Scalar::floating;
            s.d = v;
            return edge_scalar(s, [v, &text](DomBuilder& b) { return b.number_float(v, text); });
        }
        edges_key_pending_ = false;
        return dom_.number_float(v, text);
    }
    bool string(string_t& v) {
        if (in_edges_) {
            Scalar s;
            s.type = Scalar::string;
            s.text = &v;
            return edge_scalar(s, [&v](DomBuilder& b) { return b.string(v); });
        }
        edges_key_pending_ = false;
        return dom_.string(v);
    }
    bool binary(json::binary_t& v) {
        if (in_edges_) return edge_scalar({}, [&v](DomBuilder& b) { return b.binary(v); });
        edges_key_pending_ = false;
        return dom_.binary(v);
    }

    bool start_object(std::size_t len) {
        if (in_edges_) return edge_start(true, len);
        if (depth_ == 0) root_is_object_ = true;
        edges_key_pending_ = false;
        ++depth_;
        return dom_.start_object(len);
    }
    bool end_object() {
        if (in_edges_) return edge_end(true);
        --depth_;
        return dom_.end_object();
    }
    bool start_array(std::size_t len) {
        if (in_edges_) return edge_start(false, len);
        if (edges_key_pending_) {
            // The array's place in the document holds null; its elements go
            // to out_.edges.
            edges_key_pending_ = false;
            in_edges_ = true;
            element_ = Element::between;
            out_.edges.emplace();
            return dom_.null();
        }
        ++depth_;
        return dom_.start_array(len);
    }
    bool end_array() {
        if (in_edges_) return edge_end(false);
        --depth_;
        return dom_.end_array();
    }

    bool key(string_t& k) {
        if (in_edges_) {
            if (element_ == Element::fields) {
                field_ = field_of(k);
            } else if (element_ == Element::whole) {
                return whole_->key(k);
            }
            return true;
        }
        edges_key_pending_ = depth_ == 1 && root_is_object_ && k == "edges";
        // A later "edges" key replaces the earlier value, as in the document.
        if (edges_key_pending_) out_.edges.reset();
        return dom_.key(k);
    }

    template <class Exception>
    bool parse_error(std::size_t position, const std::string& token, const Exception& ex) {
        return dom_.parse_error(position, token, ex);  // throws ex
    }

  private:
    enum class Element {
        between,   // in the edges array, between elements
        fields,    // in an element object that is so far a well-formed edge
        skipping,  // in the value of a key that edges do not use
        whole,     // in an element that is rebuilt whole
    };
    enum Field { source_kind, source_id, target_node_id, weight_final, field_count, other };
    static constexpr const char* field_names[field_count] = {"source_kind", "source_id",
                                                             "target_node_id", "weight_final"};

    struct Scalar {
        enum Type { other, integer, unsigned_integer, floating, string } type = other;
        std::int64_t i = 0;
        std::uint64_t u = 0;
        double d = 0.0;
        const string_t* text = nullptr;
    };

    static bool equals(const string_t& text, std::string_view word) {
        return text.size() == word.size() &&
               std::memcmp(text.data(), word.data(), word.size()) == 0;
    }

    static Field field_of(const string_t& k) {
        // The four names differ in length: one comparison decides.
        switch (k.size()) {
            case 11:
                return equals(k, "source_kind") ? source_kind : other;
            case 9:
                return equals(k, "source_id") ? source_id : other;
            case 14:
                return equals(k, "target_node_id") ? target_node_id : other;
            case 12:
                return equals(k, "weight_final") ? weight_final : other;
            default:
                return other;
        }
    }

    static bool fits_int32(const Scalar& v) {
        constexpr auto lo = std::numeric_limits<std::int32_t>::min();
        constexpr auto hi = std::numeric_limits<std::int32_t>::max();
        switch (v.type) {
            case Scalar::integer:
                return v.i >= lo && v.i <= hi;
            case Scalar::unsigned_integer:
                return v.u <= static_cast<std::uint64_t>(hi);
            // Truncated toward zero, as the library converts it.
            case Scalar::floating:
                return v.d > static_cast<double>(lo) - 1.0 && v.d < static_cast<double>(hi) + 1.0;
            default:
                return false;
        }
    }

    // Takes v as the value of the current field if it is what a well-formed
    // edge holds there.
    bool accept(const Scalar& v) {
        switch (field_) {
            case source_kind:
                if (v.type != Scalar::string) return false;
                if (equals(*v.text, "node")) {
                    kind_ = EdgeKind::node;
                } else if (equals(*v.text, "input")) {
                    kind_ = EdgeKind::input;
                } else {
                    return false;
                }
                break;
            case source_id:
            case target_node_id:
                if (!fits_int32(v)) return false;
                break;
            case weight_final:
                if (v.type != Scalar::integer && v.type != Scalar::unsigned_integer &&
                    v.type != Scalar::floating) {
                    return false;
                }
                break;
            default:
                return false;
        }
        values_[field_] = v;
        values_[field_].text = nullptr;
        seen_[field_] = true;
        return true;
    }

    // The number as the library's get<int>() / get<double>() give it.
    static std::int32_t as_int(const Scalar& v) {
        switch (v.type) {
            case Scalar::integer:
                return static_cast<std::int32_t>(v.i);
            case Scalar::unsigned_integer:
                return static_cast<std::int32_t>(v.u);
            default:
                return static_cast<std::int32_t>(v.d);
        }
    }
    static double as_double(const Scalar& v) {
        switch (v.type) {
            case Scalar::integer:
                return static_cast<double>(v.i);
            case Scalar::unsigned_integer:
                return static_cast<double>(v.u);
            default:
                return v.d;
        }
    }

    static void replay(DomBuilder& b, const Scalar& v) {
        switch (v.type) {
            case Scalar::integer:
                b.number_integer(v.i);
                break;
            case Scalar::unsigned_integer:
                b.number_unsigned(v.u);
                break;
            case Scalar::floating:
                b.number_float(v.d, string_t());
                break;
            default:
                break;
        }
    }

    // Hands the element over to the DOM builder: the object opened so far
    // with the fields taken, then, when `with_key`, the current key.
    void rebuild_element(bool with_key) {
        start_whole();
        whole_->start_object(static_cast<std::size_t>(-1));
        nesting_ = 1;
        for (int f = 0; f < field_count; ++f) {
            if (!seen_[f]) continue;
            string_t name = field_names[f];
            whole_->key(name);
            if (f == source_kind) {
                string_t text = kind_ == EdgeKind::node ? "node" : "input";
                whole_->string(text);
            } else {
                replay(*whole_, values_[f]);
            }
        }
        if (with_key) {
            string_t name = field_names[field_];
            whole_->key(name);
        }
    }

    void start_whole() {
        whole_value_ = json();
        whole_.emplace(whole_value_);
        element_ = Element::whole;
    }

    void finish_whole() {
        StreamedEdges& e = *out_.edges;
        e.kinds.push_back(EdgeKind::whole);
        e.triplets.push_back({});
        e.whole.push_back(std::move(whole_value_));
        whole_.reset();
        element_ = Element::between;
    }

    template <class Feed>
    bool edge_scalar(const Scalar& v, Feed&& feed) {
        switch (element_) {
            case Element::between:  // an element that is not an object
                start_whole();
                feed(*whole_);
                finish_whole();
                return true;
            case Element::fields:
                if (field_ == other || accept(v)) return true;
                rebuild_element(true);
                return feed(*whole_);
            case Element::skipping:
                return true;
            case Element::whole:
                return feed(*whole_);
        }
        return true;
    }

    bool edge_start(bool object, std::size_t len) {
        switch (element_) {
            case Element::between:
                if (object) {
                    element_ = Element::fields;
                    field_ = other;
                    for (bool& s : seen_) s = false;
                    return true;
                }
                start_whole();
                nesting_ = 0;
                break;
            case Element::fields:
                if (field_ == other) {
                    element_ = Element::skipping;
                    nesting_ = 1;
                    return true;
                }
                rebuild_element(true);
                break;
            case Element::skipping:
                ++nesting_;
                return true;
            case Element::whole:
                break;
        }
        ++nesting_;
        return object ? whole_->start_object(len) : whole_->start_array(len);
    }

    bool edge_end(bool object) {
        switch (element_) {
            case Element::between:  // the end of the edges array itself
                in_edges_ = false;
                return true;
            case Element::fields: {
                if (seen_[source_kind] && seen_[source_id] && seen_[target_node_id] &&
                    seen_[weight_final]) {
                    StreamedEdges& e = *out_.edges;
                    e.kinds.push_back(kind_);
                    e.triplets.push_back({as_int(values_[target_node_id]),
                                          as_int(values_[source_id]),
                                          as_double(values_[weight_final])});
                    element_ = Element::between;
                    return true;
                }
                rebuild_element(false);
                whole_->end_object();
                finish_whole();
                return true;
            }
            case Element::skipping:
                if (--nesting_ == 0) element_ = Element::fields;
                return true;
            case Element::whole:
                break;
        }
        const bool ok = object ? whole_->end_object() : whole_->end_array();
        if (--nesting_ == 0) finish_whole();
        return ok;
    }

    ContractDocument& out_;
    DomBuilder dom_;         // builds out_.doc
    std::size_t depth_ = 0;  // containers open in out_.doc
    bool root_is_object_ = false;
    bool edges_key_pending_ = false;  // the last event was the top-level key "edges"
    bool in_edges_ = false;

    Element element_ = Element::between;
    Field field_ = other;  // the key just read in a fields element
    bool seen_[field_count] = {};
    Scalar values_[field_count];
    EdgeKind kind_ = EdgeKind::node;
    int nesting_ = 0;  // containers open in a skipped value or a whole element
    json whole_value_;
    std::optional<DomBuilder> whole_;  // builds whole_value_
};

// Parses the contract file: the first JSON value in it, nothing after.
ContractDocument read_contract(const std::string& path, ContractReading reading) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("Failed to open model file: " + path);
    ContractDocument contract;
    try {
        if (in.peek() == std::ifstream::traits_type::eof()) {
            // A directory, for one, opens fine and fails at the first read:
            // that is no empty file.
            if (in.bad()) throw std::runtime_error("Failed to read model file: " + path);
            throw std::runtime_error("JSON parse error in " + path + ": " + empty_input_error);
        }
        if (reading == ContractReading::whole_document) {
            in >> contract.doc;
        } else {
            // Stops after the first value, as the stream extraction does.
            ContractReader reader(contract);
            json::sax_parse(in, &reader, json::input_format_t::json, false);
        }
    } catch (const json::parse_error& e) {
        throw std::runtime_error("JSON parse error in " + path + ": " + e.what());
    } catch (const std::ios_base::failure&) {
        // A read error later in the file reaches the parser as this exception.
        throw std::runtime_error("Failed to read model file: " + path);
    }
    return contract;
}

// Bytes a run holds per node and per input channel: the loader's arrays and
// records plus the simulator's state, stage and scratch buffers and the
// column name. Strings longer than the small-string buffer are not counted,
// so this is a lower bound.
constexpr double bytes_per_node = sizeof(double) + sizeof(PopulationMetadata) +
                                  sizeof(std::int32_t) + 17 * sizeof(double) + sizeof(std::string) +
                                  sizeof(std::function<double(double)>);
constexpr double bytes_per_input = sizeof(std::string) + sizeof(std::int32_t) +
                                   sizeof(PopulationMetadata) + 2 * sizeof(double) +
                                   2 * sizeof(std::function<double(double)>);

// The memory this process may use, in bytes: the machine's memory, or less
// when an address-space limit or the memory limit of its control group (a
// container's) is lower. 0 when nothing is known.
double memory_limit_bytes() {
    double limit = 0.0;
    const auto lower_to = [&limit](double bytes) {
        if (bytes > 0.0 && (limit == 0.0 || bytes < limit)) limit = bytes;
    };
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0) {
        lower_to(static_cast<double>(pages) * static_cast<double>(page_size));
    }
    rlimit address_space{};
    if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
        lower_to(static_cast<double>(address_space.rlim_cur));
    }
    // cgroup v2, then v1; "max" (no limit) does not read as a number.
    for (const char* file :
         {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
        std::ifstream in(file);
        double bytes = 0.0;
        if (in >> bytes) lower_to(bytes);
    }
    return limit;
}

// Refuses sizes that cannot fit in the memory this process may use before
// anything is allocated: otherwise the arrays either fail with a bare
// allocation error or, with overcommit, get the process killed while they
// are filled.
void check_fits_in_memory(std::int32_t n_nodes, std::int32_t n_inputs) {
    const double needed = bytes_per_node * n_nodes + bytes_per_input * n_inputs;
    const double available = memory_limit_bytes();
    if (available <= 0.0 || needed <= available) return;
    constexpr double gib = 1024.0 * 1024.0 * 1024.0;
    char text[256];
    std::snprintf(text, sizeof text,
                  "Model too large for this machine: n_nodes=%d and n_inputs=%d need at least "
                  "%.1f GiB of memory, this machine has %.1f GiB",
                  static_cast<int>(n_nodes), static_cast<int>(n_inputs), needed / gib,
                  available / gib);
    throw std::runtime_error(text);
}

}  // namespace

void Network::load_from_json(const std::string& path, ContractReading reading) {
    ContractDocument contract = read_contract(path, reading);
    json& doc = contract.doc;

    const json& counts = doc.at("counts");
    n_nodes = read_int(counts, "n_nodes");
    n_inputs = read_int(counts, "n_inputs");
    if (n_nodes < 0 || n_inputs < 0) {
        throw std::runtime_error("Invalid model sizes: n_nodes/n_inputs must be non-negative");
    }

    const json& params = doc.at("network_parameters");
    const json& sigmoid = params.at("sigmoid");
    theta = sigmoid.at("theta").get<double>();
    beta = sigmoid.at("beta").get<double>();
    f_max = sigmoid.at("f_max").get<double>();

    if (params.is_object() && params.contains("wc_coupling")) {
        const json& wc = params.at("wc_coupling");
        alfa = wc.value("alfa", 0.0);
        epsilon = wc.value("epsilon", 0.0);
        gamma = wc.value("gamma", 0.0);
        delta = wc.value("delta", 0.0);
        tau_E = wc.value("tau_E", 2.5);
        tau_I = wc.value("tau_I", 1.25);
    } else {
        alfa = epsilon = gamma = delta = 0.0;
        tau_E = 2.5;
        tau_I = 1.25;
    }

    check_fits_in_memory(n_nodes, n_inputs);
    const auto nn = static_cast<std::size_t>(n_nodes);
    const auto ni = static_cast<std::size_t>(n_inputs);
    tau.assign(nn, 0.0);
    is_excitatory.assign(nn, true);
    // A node that no entry names keeps its own id and row index, so it can
    // neither rename node 0's column nor catch node 0's bindings.
    node_metadata.assign(nn, PopulationMetadata{});
    for (std::size_t i = 0; i < nn; ++i) {
        node_metadata[i].node_id = static_cast<std::int32_t>(i);
        node_metadata[i].row_index = static_cast<std::int32_t>(i);
    }
    input_names.assign(ni, std::string());
    input_row_index.assign(ni, 0);
    input_metadata.clear();
    input_metadata.reserve(ni);

    for (const json& node : doc.at("nodes")) {
        const int id = read_int(node, "node_id");
        if (id < 0 || id >= n_nodes) {
            throw std::runtime_error("node_id out of bounds while parsing nodes array");
        }
        const auto i = static_cast<std::size_t>(id);
        tau[i] = node.at("tau").get<double>();
        is_excitatory[i] = node.value("is_excitatory", true);
        PopulationMetadata md;
        md.node_id = id;
        md.row_index = read_int_or(node, "row_index", id);
        md.pop_id = read_string(node, "pop_id");
        md.pop_typ = read_string(node, "pop_typ");
        md.con_typ = read_string(node, "con_typ");
        md.circ_id = read_string(node, "circ_id");
        md.h_row = read_string(node, "h_row");
        md.d_row = read_string(node, "d_row");
        md.mat_id = read_string(node, "mat_id");
        node_metadata[i] = std::move(md);
    }

    for (const json& input : doc.at("inputs")) {
        const int id = read_int(input, "input_id");
        if (id < 0 || id >= n_inputs) {
            throw std::runtime_error("input_id out of bounds while parsing inputs array");
        }
        const auto i = static_cast<std::size_t>(id);
        input_names[i] = read_string(input, "input_name");
        const int row = read_int_or(input, "row_index", id);
        input_row_index[i] = row;
        PopulationMetadata md;
        md.node_id = -1;
        md.row_index = row;
        md.pop_id = read_string_or(input, "pop_id", input_names[i]);
        md.pop_typ = "external";
        md.con_typ = read_string_or(input, "con_typ", "excitation");
        md.circ_id = read_string_or(input, "circ_id", "null");
        md.h_row = read_string_or(input, "h_row", "null");
        md.d_row = read_string_or(input, "d_row", "null");
        md.mat_id = read_string_or(input, "mat_id", "null");
        input_metadata.push_back(std::move(md));
    }

    std::vector<Triplet> node_triplets;
    std::vector<Triplet> input_triplets;
    if (contract.edges) {
        // The node list takes over the streamed triplets, compacted in
        // place: element k adds at most one node triplet, so the write
        // position never passes the element being read.
        StreamedEdges& streamed = *contract.edges;
        node_triplets = std::move(streamed.triplets);
        std::size_t kept = 0;
        auto whole = streamed.whole.begin();
        for (std::size_t k = 0; k < streamed.kinds.size(); ++k) {
            const EdgeKind kind = streamed.kinds[k];
            if (kind == EdgeKind::whole) {
                const Edge edge = read_edge(*whole++);
                if (add_edge(edge, n_nodes, n_inputs, input_triplets)) {
                    node_triplets[kept++] = edge.triplet;
                }
                continue;
            }
            const Triplet t = node_triplets[k];
            check_target(t.row, n_nodes);
            if (kind == EdgeKind::node) {
                check_node_source(t.col, n_nodes);
                node_triplets[kept++] = t;
            } else {
                check_input_source(t.col, n_inputs);
                input_triplets.push_back(t);
            }
        }
        node_triplets.resize(kept);
        contract.edges.reset();
    } else {
        // A missing "edges" behaves exactly like "edges": null.
        const json& edges = doc["edges"];
        node_triplets.reserve(edges.size());
        for (const json& element : edges) {
            const Edge edge = read_edge(element);
            if (add_edge(edge, n_nodes, n_inputs, input_triplets)) {
                node_triplets.push_back(edge.triplet);
            }
        }
    }
    doc = json();  // not needed any more; frees memory before the matrices are built

    weights.emplace(n_nodes, n_nodes);
    input_weights.emplace(n_nodes, n_inputs);
    weights->build_from_triplets(n_nodes, node_triplets);
    input_weights->build_from_triplets(n_nodes, input_triplets);
}

double Network::get_weight(int target, int source) const {
    return weights ? weights->get(target, source) : 0.0;
}

double Network::get_input_weight(int target, int input) const {
    return input_weights ? input_weights->get(target, input) : 0.0;
}

}  // namespace vesk
