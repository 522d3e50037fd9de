// vesk._core's contract helpers: a loaded network's weight matrices as the
// arrays of compressed sparse rows, for the Python layer's scipy matrices.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "binding.hpp"
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
    return py::make_tuple(copy_of(matrix.row_ptr), copy_of(matrix.col_idx), copy_of(matrix.values),
                          py::make_tuple(matrix.rows, matrix.cols));
}

}  // namespace

void add_contract_bindings(py::module_& m) {
    m.def("weight_arrays", &weight_arrays, py::arg("network"), py::arg("inputs"));
}

}  // namespace vesk::python
