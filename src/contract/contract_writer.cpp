#include "contract/contract_writer.hpp"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "contract/contract_schema.hpp"

namespace vesk {
namespace {

// Every field of a node or an input is bound by the schema to a row-map
// member, except these, which the writer binds by their index.
constexpr bool bound_by_schema(std::span<const Field> fields, std::initializer_list<int> others) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        bool other = false;
        for (const int o : others) other = other || static_cast<std::size_t>(o) == i;
        if (!fields[i].text && !fields[i].integer && !other) return false;
    }
    return true;
}
static_assert(bound_by_schema(node_fields, {node_tau, node_is_excitatory}));
static_assert(bound_by_schema(input_fields, {input_input_name}));

constexpr std::size_t block_bytes = std::size_t{1} << 20;

void put_key(std::string& text, std::string_view key) {
    text += '"';
    text += key;
    text += "\":";
}

void put_int(std::string& text, std::int64_t value) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    text.append(buffer, end);
}

// The shortest text that reads back as the same double, with a fraction or
// an exponent so that it reads back as a double.
void put_number(std::string& text, double value, std::string_view key) {
    if (!std::isfinite(value)) {
        std::ostringstream shown;
        shown << value;
        throw std::invalid_argument("contract value '" + std::string(key) + "' is " + shown.str() +
                                    ", which JSON cannot hold");
    }
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    const std::string_view digits(buffer, static_cast<std::size_t>(end - buffer));
    text += digits;
    if (digits.find_first_of(".e") == std::string_view::npos) text += ".0";
}

void put_string(std::string& text, std::string_view value) {
    static constexpr char hex[] = "0123456789abcdef";
    text += '"';
    for (const char c : value) {
        switch (c) {
            case '"':
                text += "\\\"";
                break;
            case '\\':
                text += "\\\\";
                break;
            case '\n':
                text += "\\n";
                break;
            case '\t':
                text += "\\t";
                break;
            case '\r':
                text += "\\r";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    text += "\\u00";
                    text += hex[(c >> 4) & 0xf];
                    text += hex[c & 0xf];
                } else {
                    text += c;
                }
        }
    }
    text += '"';
}

}  // namespace

ContractWriter::ContractWriter(std::ostream& out, std::int32_t n_nodes, std::int32_t n_inputs,
                               const NetworkParameters& parameters)
    : out_(out) {
    text_.reserve(block_bytes + 4096);
    text_ += '{';
    put_key(text_, top_fields[top_counts].key);
    text_ += '{';
    put_key(text_, counts_fields[counts_n_nodes].key);
    put_int(text_, n_nodes);
    text_ += ',';
    put_key(text_, counts_fields[counts_n_inputs].key);
    put_int(text_, n_inputs);
    text_ += "},\n";
    put_key(text_, top_fields[top_network_parameters].key);
    text_ += '{';
    for (std::size_t i = 0; i < std::size(params_fields); ++i) {
        if (i) text_ += ',';
        put_key(text_, params_fields[i].key);
        text_ += '{';
        const auto fields = fields_of(params_fields[i].child);
        for (std::size_t k = 0; k < fields.size(); ++k) {
            if (k) text_ += ',';
            put_key(text_, fields[k].key);
            put_number(text_, parameters.*fields[k].parameter, fields[k].key);
        }
        text_ += '}';
    }
    text_ += "},\n";
    put_key(text_, top_fields[top_nodes].key);
    text_ += '[';
}

void ContractWriter::enter(Part part) {
    if (part < part_) throw std::invalid_argument("contract entries written out of order");
    while (part_ < part) {
        text_ += first_ ? "]" : "\n]";
        part_ = static_cast<Part>(static_cast<int>(part_) + 1);
        first_ = true;
        if (part_ == Part::inputs) {
            text_ += ",\n";
            put_key(text_, top_fields[top_inputs].key);
            text_ += '[';
        } else if (part_ == Part::edges) {
            text_ += ",\n";
            put_key(text_, top_fields[top_edges].key);
            text_ += '[';
        }
    }
}

void ContractWriter::begin_entry() {
    text_ += first_ ? "\n{" : ",\n{";
    first_ = false;
}

void ContractWriter::flush() {
    if (text_.size() < block_bytes) return;
    out_.write(text_.data(), static_cast<std::streamsize>(text_.size()));
    text_.clear();
}

void ContractWriter::node(const PopulationMetadata& md, double tau, bool is_excitatory) {
    enter(Part::nodes);
    begin_entry();
    for (std::size_t i = 0; i < std::size(node_fields); ++i) {
        const Field& f = node_fields[i];
        if (i) text_ += ',';
        put_key(text_, f.key);
        if (f.integer) {
            put_int(text_, md.*f.integer);
        } else if (f.text) {
            put_string(text_, md.*f.text);
        } else if (i == node_tau) {
            put_number(text_, tau, f.key);
        } else {
            text_ += is_excitatory ? "true" : "false";
        }
    }
    text_ += '}';
    flush();
}

void ContractWriter::input(const PopulationMetadata& md, const std::string& input_name) {
    enter(Part::inputs);
    if (md.input_id < 0) throw std::invalid_argument("an input record without its input_id");
    begin_entry();
    for (std::size_t i = 0; i < std::size(input_fields); ++i) {
        const Field& f = input_fields[i];
        if (i) text_ += ',';
        put_key(text_, f.key);
        if (f.integer) {
            put_int(text_, md.*f.integer);
        } else if (f.text) {
            put_string(text_, md.*f.text);
        } else {
            put_string(text_, input_name);
        }
    }
    text_ += '}';
    flush();
}

void ContractWriter::edge(bool from_input, std::int32_t source, std::int32_t target,
                          double weight) {
    enter(Part::edges);
    begin_entry();
    put_key(text_, edge_fields[edge_source_kind].key);
    put_string(text_, from_input ? source_kind_input : source_kind_node);
    text_ += ',';
    put_key(text_, edge_fields[edge_source_id].key);
    put_int(text_, source);
    text_ += ',';
    put_key(text_, edge_fields[edge_target_node_id].key);
    put_int(text_, target);
    text_ += ',';
    put_key(text_, edge_fields[edge_weight_final].key);
    put_number(text_, weight, edge_fields[edge_weight_final].key);
    text_ += '}';
    flush();
}

void ContractWriter::finish() {
    enter(Part::done);
    text_ += "}\n";
    out_.write(text_.data(), static_cast<std::streamsize>(text_.size()));
    text_.clear();
    out_.flush();
}

void write_contract_json(const Network& net, const NetworkParameters& parameters,
                         std::ostream& out) {
    ContractWriter writer(out, net.n_nodes, net.n_inputs, parameters);
    for (std::size_t i = 0; i < net.node_metadata.size(); ++i) {
        writer.node(net.node_metadata[i], net.tau[i], net.is_excitatory[i]);
    }
    for (const PopulationMetadata& md : net.input_metadata) {
        const auto id = static_cast<std::size_t>(md.input_id);
        writer.input(md, id < net.input_names.size() ? net.input_names[id] : std::string());
    }
    // Stored order is the loader's order of duplicates within a row, so
    // the matrices read back entry for entry.
    for (const bool from_input : {false, true}) {
        const std::optional<SparseMatrix>& m = from_input ? net.input_weights : net.weights;
        if (!m) continue;
        for (std::int32_t row = 0; row < m->rows(); ++row) {
            const auto r = static_cast<std::size_t>(row);
            for (auto k = static_cast<std::size_t>(m->row_ptr()[r]);
                 k < static_cast<std::size_t>(m->row_ptr()[r + 1]); ++k) {
                writer.edge(from_input, m->col_idx()[k], row, m->values()[k]);
            }
        }
    }
    writer.finish();
}

std::string contract_json(const Network& net, const NetworkParameters& parameters) {
    std::ostringstream out;
    write_contract_json(net, parameters, out);
    return std::move(out).str();
}

void write_contract_file(const Network& net, const NetworkParameters& parameters,
                         const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        // A pipe or a device is written in place and never removed.
        std::ofstream out(path, std::ios::binary);
        if (!out) throw std::runtime_error("Failed to open contract file for writing: " + path);
        write_contract_json(net, parameters, out);
        out.close();
        if (!out) throw std::runtime_error("Failed to write contract file: " + path);
        return;
    }
    // A regular file is written beside its name and renamed over it, so a
    // failure leaves what was there (possibly the very contract being
    // written) untouched, and never a part of a contract that may still load.
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) throw std::runtime_error("Failed to open contract file for writing: " + path);
    ::close(fd);
    try {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("Failed to open contract file for writing: " + path);
        write_contract_json(net, parameters, out);
        out.close();
        if (!out) throw std::runtime_error("Failed to write contract file: " + path);
        // Keep the permissions of a file written over; a new one is 0644.
        fs::permissions(temp, fs::exists(status)
                                  ? status.permissions()
                                  : fs::perms::owner_read | fs::perms::owner_write |
                                        fs::perms::group_read | fs::perms::others_read);
        fs::rename(temp, path);
    } catch (const fs::filesystem_error&) {
        std::remove(temp.c_str());
        throw std::runtime_error("Failed to write contract file: " + path);
    } catch (...) {
        std::remove(temp.c_str());
        throw;
    }
}

}  // namespace vesk
