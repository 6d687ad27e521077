#include "calibration/refinement/parameter_identifiability.hpp"

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include <Eigen/Dense>

namespace velk::calibration {
namespace {

using Matrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// The groups whose columns carry at least a third of the largest group's part of the fit of column
// target by the columns kept.
std::vector<int> absorbingGroups(const Eigen::MatrixXd& scaled, const std::vector<int>& kept, int target,
                                 const std::vector<int>& column_groups) {
    Eigen::MatrixXd basis(scaled.rows(), static_cast<Eigen::Index>(kept.size()));
    for (size_t k = 0; k < kept.size(); ++k) {
        basis.col(static_cast<Eigen::Index>(k)) = scaled.col(kept[k]);
    }
    const Eigen::VectorXd coefficients = basis.colPivHouseholderQr().solve(scaled.col(target));
    std::map<int, Eigen::VectorXd> parts;
    for (size_t k = 0; k < kept.size(); ++k) {
        const int group = column_groups[kept[k]];
        auto found = parts.find(group);
        if (found == parts.end()) {
            found = parts.emplace(group, Eigen::VectorXd::Zero(scaled.rows())).first;
        }
        found->second += coefficients(static_cast<Eigen::Index>(k)) * basis.col(static_cast<Eigen::Index>(k));
    }
    double largest = 0.0;
    for (const auto& [group, part] : parts) {
        largest = std::max(largest, part.norm());
    }
    std::vector<int> groups;
    for (const auto& [group, part] : parts) {
        if (largest > 0.0 && part.norm() >= largest / 3.0) {
            groups.push_back(group);
        }
    }
    return groups;
}

// Remainders that differ by less than this share are equal but for rounding.
constexpr double kTiedShare = 1e-6;

// The columns in the order a rank-revealing QR with column pivoting takes them, each with what remains
// of it after the ones before (the QR's diagonal element): the largest remainder first, and of remainders
// equal but for rounding the earlier column, so that equivalent columns (the d values of parallel joints)
// are told apart the same way whatever the data and the machine.
std::vector<std::pair<int, double>> pivotOrder(Eigen::MatrixXd remaining) {
    const int count = static_cast<int>(remaining.cols());
    std::vector<std::pair<int, double>> order;
    std::vector<bool> taken(count, false);
    for (int step = 0; step < count; ++step) {
        int best = -1;
        double bestNorm = 0.0;
        for (int c = 0; c < count; ++c) {
            const double norm = remaining.col(c).norm();
            if (!taken[c] && (best < 0 || norm > bestNorm * (1.0 + kTiedShare))) {
                best = c;
                bestNorm = norm;
            }
        }
        taken[best] = true;
        order.emplace_back(best, bestNorm);
        if (bestNorm > 0.0) {
            const Eigen::VectorXd unit = remaining.col(best) / bestNorm;
            for (int pass = 0; pass < 2; ++pass) {  // twice, for orthogonality to rounding
                for (int c = 0; c < count; ++c) {
                    if (!taken[c]) {
                        remaining.col(c) -= unit * unit.dot(remaining.col(c));
                    }
                }
            }
        }
        remaining.col(best).setZero();
    }
    return order;
}

}  // namespace

Identifiability analyseIdentifiability(const DenseMatrix& jacobian, const std::vector<int>& column_groups,
                                       int kept_columns, double tolerance) {
    const int columns = jacobian.columns;
    if (static_cast<int>(column_groups.size()) != columns || kept_columns < 0 || kept_columns > columns ||
        static_cast<int>(jacobian.values.size()) != jacobian.rows * columns) {
        throw std::invalid_argument("analyseIdentifiability: the jacobian, its groups and kept columns disagree");
    }
    Eigen::MatrixXd scaled = Eigen::Map<const Matrix>(jacobian.values.data(), jacobian.rows, columns);
    Identifiability result;
    result.determined.assign(columns, true);
    result.remaining_share.assign(columns, 1.0);
    result.not_excited.assign(columns, false);
    result.absorbed_by.assign(columns, {});
    const double largestNorm = scaled.colwise().norm().maxCoeff();
    for (int c = 0; c < columns; ++c) {
        const double norm = scaled.col(c).norm();
        if (norm <= largestNorm * 1e-12) {
            scaled.col(c).setZero();
            result.not_excited[c] = true;
        } else {
            scaled.col(c) /= norm;
        }
    }
    const int judged = columns - kept_columns;
    if (judged == 0) {
        return result;
    }
    // Every step below depends on the columns' inner products alone, which the triangular factor of
    // the scaled jacobian keeps: it stands in for the jacobian with as many rows as columns instead
    // of one per residual, which makes the projections and the fits of the held columns cheap.
    if (scaled.rows() > columns) {
        const Eigen::HouseholderQR<Eigen::MatrixXd> reduced(scaled);
        scaled = reduced.matrixQR().topRows(columns).template triangularView<Eigen::Upper>();
    }
    // What of each judged column the kept ones cannot reproduce.
    const Eigen::MatrixXd keptColumns = scaled.leftCols(kept_columns);
    Eigen::MatrixXd remaining = scaled.rightCols(judged);
    if (kept_columns > 0) {
        const Eigen::HouseholderQR<Eigen::MatrixXd> keptQr(keptColumns);
        const Eigen::MatrixXd q = keptQr.householderQ() * Eigen::MatrixXd::Identity(scaled.rows(), kept_columns);
        remaining -= q * (q.transpose() * remaining);
    }
    std::vector<int> kept;
    for (int c = 0; c < kept_columns; ++c) {
        kept.push_back(c);
    }
    bool ranked = true;
    for (const auto& [judgedColumn, share] : pivotOrder(remaining)) {
        const int column = kept_columns + judgedColumn;
        result.remaining_share[column] = share;
        ranked = ranked && share > tolerance && !result.not_excited[column];
        result.determined[column] = ranked;
        if (ranked) {
            kept.push_back(column);
        }
    }
    for (int c = kept_columns; c < columns; ++c) {
        if (!result.determined[c] && !result.not_excited[c]) {
            result.absorbed_by[c] = absorbingGroups(scaled, kept, c, column_groups);
        }
    }
    return result;
}

std::string heldReason(const Identifiability& identifiability, int column,
                       const std::vector<std::string>& group_names) {
    if (identifiability.not_excited[column]) {
        return "not moved by the data";
    }
    const std::vector<int>& groups = identifiability.absorbed_by[column];
    if (groups.empty()) {
        return "not determined by the data";
    }
    std::string names;
    for (size_t k = 0; k < groups.size(); ++k) {
        names += (k == 0 ? "" : k + 1 == groups.size() ? " and " : ", ") + group_names[groups[k]];
    }
    return "absorbed by " + names;
}

}  // namespace velk::calibration
