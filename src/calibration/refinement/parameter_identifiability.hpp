#pragma once

#include <string>
#include <vector>

namespace velk::calibration {

// A dense matrix, row-major.
struct DenseMatrix {
    int rows = 0;
    int columns = 0;
    std::vector<double> values;
};

// Which columns of a weighted jacobian the data determine. The first kept_columns are always kept
// (the unknowns every model has); the others are judged on the column-scaled jacobian: what remains
// of each after the kept columns are projected out, ordered by a rank-revealing QR with column
// pivoting. A column whose remaining share (the QR's diagonal element, relative to the column's
// norm of one) falls under the tolerance is held; for each held column, the groups of the columns
// that reproduce it (their share of its least-squares fit).
struct Identifiability {
    std::vector<bool> determined;               // per column
    std::vector<double> remaining_share;        // per column: 1 when independent, 0 when absorbed
    std::vector<bool> not_excited;              // per column: the data do not move it at all
    std::vector<std::vector<int>> absorbed_by;  // per held column: the groups that take it up
};

// column_groups: the group of every column (a transform's six columns share one).
Identifiability analyseIdentifiability(const DenseMatrix& jacobian, const std::vector<int>& column_groups,
                                       int kept_columns, double tolerance);

// Why a held column is held: "not moved by the data", "absorbed by <the named groups>" or "not
// determined by the data"; group_names by group.
std::string heldReason(const Identifiability& identifiability, int column, const std::vector<std::string>& group_names);

}  // namespace velk::calibration
