// vesk._core's contract helpers: a loaded network's weight matrices as the
// arrays of compressed sparse rows, for the Python layer's scipy matrices;
// and contract text written from arrays, which the Python layer loads with
// the one loader, so that a network built from arrays is checked as a file.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "binding.hpp"
#include "contract/contract_writer.hpp"
#include "model/network.hpp"
#include "model/sparse_matrix.hpp"

namespace py = pybind11;

namespace vesk::python {
namespace {

template <typename T>
py::array_t<T> copy_of(const std::vector<T>& values) {
    py::array_t<T> array(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), array.mutable_data());
    return array;
}

// (row_ptr, col_idx, values, (rows, cols)) of the node weights, or of the
// input weights with `inputs`; an absent matrix as an empty one of its shape.
py::tuple weight_arrays(const Network& network, bool inputs) {
    const std::optional<SparseMatrix>& stored = inputs ? network.input_weights : network.weights;
    const int cols = inputs ? network.n_inputs : network.n_nodes;
    const SparseMatrix matrix = stored ? *stored : SparseMatrix(network.n_nodes, cols);
    return py::make_tuple(copy_of(matrix.row_ptr()), copy_of(matrix.col_idx()),
                          copy_of(matrix.values()), py::make_tuple(matrix.rows(), matrix.cols()));
}

// node_id (or input_id), row_index, pop_id, pop_typ, con_typ, circ_id,
// h_row, d_row, mat_id.
using Record = std::tuple<int, int, std::string, std::string, std::string, std::string, std::string,
                          std::string, std::string>;
using IndexArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
// row_ptr, col_idx, values of compressed sparse rows.
using Csr = std::tuple<IndexArray, IndexArray, DoubleArray>;

PopulationMetadata metadata(const Record& r, bool input) {
    const auto& [id, row, pop_id, pop_typ, con_typ, circ_id, h_row, d_row, mat_id] = r;
    return {input ? -1 : id, row,   pop_id, pop_typ, con_typ,
            circ_id,         h_row, d_row,  mat_id,  input ? id : -1};
}

// Every stored entry of `csr`, as an edge into the writer.
void write_edges(ContractWriter& writer, const Csr& csr, bool from_input) {
    const auto& [row_ptr, col_idx, values] = csr;
    const std::int64_t* ptr = row_ptr.data();
    for (py::ssize_t row = 0; row + 1 < row_ptr.size(); ++row) {
        for (std::int64_t k = ptr[row]; k < ptr[row + 1]; ++k) {
            writer.edge(from_input, static_cast<std::int32_t>(col_idx.data()[k]),
                        static_cast<std::int32_t>(row), values.data()[k]);
        }
    }
}

// The contract text of a network given as arrays: node and input records,
// each node's tau and type, the input names and both weight matrices.
// Throws ContractError for a number JSON cannot hold.
std::string contract_from_arrays(const NetworkParameters& parameters,
                                 const std::vector<Record>& nodes, const std::vector<double>& tau,
                                 const std::vector<bool>& excitatory,
                                 const std::vector<Record>& inputs,
                                 const std::vector<std::string>& input_names, const Csr& weights,
                                 const Csr& input_weights) {
    std::ostringstream out;
    try {
        ContractWriter writer(out, static_cast<std::int32_t>(nodes.size()),
                              static_cast<std::int32_t>(inputs.size()), parameters);
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            writer.node(metadata(nodes[i], false), tau[i], excitatory[i]);
        }
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            writer.input(metadata(inputs[k], true), input_names[k]);
        }
        write_edges(writer, weights, false);
        write_edges(writer, input_weights, true);
        writer.finish();
    } catch (const std::invalid_argument& e) {
        throw ContractError(user_message(e));
    }
    return out.str();
}

}  // namespace

void add_contract_bindings(py::module_& m) {
    m.def("weight_arrays", &weight_arrays, py::arg("network"), py::arg("inputs"));
    m.def("contract_from_arrays", &contract_from_arrays, py::arg("parameters"), py::arg("nodes"),
          py::arg("tau"), py::arg("is_excitatory"), py::arg("inputs"), py::arg("input_names"),
          py::arg("weights"), py::arg("input_weights"));
}

}  // namespace vesk::python
