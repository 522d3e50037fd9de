#include "model/contract_reader.hpp"

#include <cstddef>
#include <fstream>
#include <ios>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "model/contract_checks.hpp"

namespace vesk {
namespace {

using json = nlohmann::json;
using string_t = json::string_t;

// nlohmann 3.11.2 reports an empty input as a plain syntax error; users get
// the clearer wording of later library releases for a zero-byte file.
constexpr const char* empty_input_error =
    "[json.exception.parse_error.101] parse error at line 1, column 1: attempting to parse an "
    "empty input; check that your input string or stream contains the expected JSON";

// Builds a JSON value from parse events as the library's own parser does:
// values go into the open array, or under the last key of the open object,
// where a repeated key replaces the earlier value.
class JsonBuilder {
  public:
    explicit JsonBuilder(json& root) : root_(root) {}

    void value(json&& v) { place(std::move(v)); }
    void start(json&& empty_container) { open_.push_back(place(std::move(empty_container))); }
    void key(const string_t& k) { slot_ = &(*open_.back())[k]; }
    void end() { open_.pop_back(); }

  private:
    json* place(json&& v) {
        if (open_.empty()) {
            root_ = std::move(v);
            return &root_;
        }
        json& top = *open_.back();
        if (top.is_array()) {
            auto& elements = top.get_ref<json::array_t&>();
            elements.push_back(std::move(v));
            return &elements.back();
        }
        *slot_ = std::move(v);
        return slot_;
    }

    json& root_;
    std::vector<json*> open_;  // containers not yet closed, innermost last
    json* slot_ = nullptr;     // the value under the last key read
};

// The event handler for json::sax_parse. Everything outside the top-level
// "edges" array goes into the document; the array's elements are taken apart
// as they arrive (see StreamedEdges). An element that is not a plain
// well-formed edge is rebuilt whole from its events, so that reading it later
// fails exactly as in a parsed document. Keys other than the four an edge
// uses are skipped: the loader never reads them.
class ContractReader {
  public:
    explicit ContractReader(ContractDocument& out) : out_(out), dom_(out.doc) {}

    bool null() { return value(json()); }
    bool boolean(bool v) { return value(json(v)); }
    bool number_integer(json::number_integer_t v) { return value(json(v)); }
    bool number_unsigned(json::number_unsigned_t v) { return value(json(v)); }
    bool number_float(json::number_float_t v, const string_t&) { return value(json(v)); }
    bool binary(json::binary_t& v) { return value(json::binary(v)); }
    bool string(string_t& v) {
        // The kind of a well-formed edge is taken without making a value.
        if (in_edges_ && element_ == Element::fields && field_ == source_kind) {
            const std::string_view text = v;
            if (text == "node" || text == "input") {
                kind_ = text == "node" ? EdgeKind::node : EdgeKind::input;
                seen_[source_kind] = true;
                return true;
            }
        }
        return value(json(v));
    }

    bool start_object(std::size_t) {
        if (in_edges_) return edge_start(true);
        if (depth_ == 0) root_is_object_ = true;
        edges_key_pending_ = false;
        ++depth_;
        dom_.start(json::object());
        return true;
    }
    bool end_object() { return end(); }
    bool start_array(std::size_t) {
        if (in_edges_) return edge_start(false);
        if (edges_key_pending_) {
            // The array's place in the document holds null; its elements go
            // to out_.edges.
            edges_key_pending_ = false;
            in_edges_ = true;
            element_ = Element::between;
            out_.edges.emplace();
            dom_.value(json());
            return true;
        }
        ++depth_;
        dom_.start(json::array());
        return true;
    }
    bool end_array() { return end(); }

    bool key(string_t& k) {
        if (in_edges_) {
            if (element_ == Element::fields) {
                field_ = field_of(k);
            } else if (element_ == Element::whole) {
                whole_->key(k);
            }
            return true;
        }
        edges_key_pending_ = depth_ == 1 && root_is_object_ && std::string_view(k) == "edges";
        // A later "edges" key replaces the earlier value, as in the document.
        if (edges_key_pending_) out_.edges.reset();
        dom_.key(k);
        return true;
    }

    // Rethrows the library's exception with its own type: a parse error, or
    // the out_of_range of a number too large for a double.
    template <class Exception>
    bool parse_error(std::size_t, const std::string&, const Exception& ex) {
        throw ex;
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

    static Field field_of(const string_t& k) {
        // The four names differ in length: one comparison decides.
        switch (k.size()) {
            case 11:
                return std::string_view(k) == "source_kind" ? source_kind : other;
            case 9:
                return std::string_view(k) == "source_id" ? source_id : other;
            case 14:
                return std::string_view(k) == "target_node_id" ? target_node_id : other;
            case 12:
                return std::string_view(k) == "weight_final" ? weight_final : other;
            default:
                return other;
        }
    }

    bool value(json&& v) {
        if (in_edges_) return edge_value(std::move(v));
        edges_key_pending_ = false;
        dom_.value(std::move(v));
        return true;
    }

    bool end() {
        if (in_edges_) return edge_end();
        --depth_;
        dom_.end();
        return true;
    }

    // Takes v as the value of the current field if it is what a well-formed
    // edge holds there. The kind, a string, is taken by string().
    bool accept(json& v) {
        const bool fits = field_ == weight_final ? v.is_number()
                          : field_ == source_id || field_ == target_node_id
                              ? v.is_number() && fits_int32(v)
                              : false;
        if (!fits) return false;
        values_[field_] = std::move(v);
        seen_[field_] = true;
        return true;
    }

    // Hands the element over to a builder: the object opened so far with
    // the fields taken, then, when `with_key`, the current key.
    void rebuild_element(bool with_key) {
        start_whole();
        whole_->start(json::object());
        nesting_ = 1;
        for (int f = 0; f < field_count; ++f) {
            if (!seen_[f]) continue;
            whole_->key(field_names[f]);
            if (f == source_kind) {
                whole_->value(json(kind_ == EdgeKind::node ? "node" : "input"));
            } else {
                whole_->value(json(values_[f]));
            }
        }
        if (with_key) whole_->key(field_names[field_]);
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

    bool edge_value(json&& v) {
        switch (element_) {
            case Element::between:  // an element that is not an object
                start_whole();
                whole_->value(std::move(v));
                finish_whole();
                break;
            case Element::fields:
                if (field_ == other || accept(v)) break;
                rebuild_element(true);
                whole_->value(std::move(v));
                break;
            case Element::skipping:
                break;
            case Element::whole:
                whole_->value(std::move(v));
                break;
        }
        return true;
    }

    bool edge_start(bool object) {
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
        whole_->start(object ? json::object() : json::array());
        return true;
    }

    bool edge_end() {
        switch (element_) {
            case Element::between:  // the end of the edges array itself
                in_edges_ = false;
                return true;
            case Element::fields:
                if (seen_[source_kind] && seen_[source_id] && seen_[target_node_id] &&
                    seen_[weight_final]) {
                    StreamedEdges& e = *out_.edges;
                    e.kinds.push_back(kind_);
                    e.triplets.push_back({values_[target_node_id].get<std::int32_t>(),
                                          values_[source_id].get<std::int32_t>(),
                                          values_[weight_final].get<double>()});
                    element_ = Element::between;
                    return true;
                }
                rebuild_element(false);
                whole_->end();
                finish_whole();
                return true;
            case Element::skipping:
                if (--nesting_ == 0) element_ = Element::fields;
                return true;
            case Element::whole:
                break;
        }
        whole_->end();
        if (--nesting_ == 0) finish_whole();
        return true;
    }

    ContractDocument& out_;
    JsonBuilder dom_;        // builds out_.doc
    std::size_t depth_ = 0;  // containers open in out_.doc
    bool root_is_object_ = false;
    bool edges_key_pending_ = false;  // the last event was the top-level key "edges"
    bool in_edges_ = false;

    Element element_ = Element::between;
    Field field_ = other;  // the key just read in a fields element
    bool seen_[field_count] = {};
    json values_[field_count];  // the numbers taken; the kind is kind_
    EdgeKind kind_ = EdgeKind::node;
    int nesting_ = 0;  // containers open in a skipped value or a whole element
    json whole_value_;
    std::optional<JsonBuilder> whole_;  // builds whole_value_
};

}  // namespace

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

}  // namespace vesk
