#include "calibration/refinement/reduced_variance_components.hpp"

#include <algorithm>
#include <stdexcept>

#include <Eigen/Dense>

namespace velk::calibration {
namespace {

// Where a jacobian column sits: among the shared unknowns (block -1) or in a local block.
struct Place {
    int block = -1;
    int index = 0;
};

// A run of consecutive rows of one group over the same columns: their entries form a dense matrix.
struct RowRun {
    int first = 0;
    int end = 0;
};

std::vector<Place> placesOf(const GroupedLinearisation& lin, const SharedColumns& shared,
                            const std::vector<LocalColumns>& local) {
    std::vector<Place> places(lin.columns);
    for (int c = 0; c < lin.columns; ++c) {
        places[c].index = shared.index[c];
    }
    for (size_t b = 0; b < local.size(); ++b) {
        for (int k = 0; k < local[b].count && local[b].first >= 0; ++k) {
            places[local[b].first + k] = {static_cast<int>(b), k};
        }
    }
    return places;
}

bool sameColumns(const GroupedLinearisation& lin, int a, int b) {
    const int length = lin.row_starts[a + 1] - lin.row_starts[a];
    return lin.row_groups[a] == lin.row_groups[b] && length == lin.row_starts[b + 1] - lin.row_starts[b] &&
           std::equal(lin.column_indices.begin() + lin.row_starts[a],
                      lin.column_indices.begin() + lin.row_starts[a + 1],
                      lin.column_indices.begin() + lin.row_starts[b]);
}

std::vector<RowRun> rowRuns(const GroupedLinearisation& lin) {
    std::vector<RowRun> runs;
    const int rows = static_cast<int>(lin.row_groups.size());
    for (int r = 0; r < rows; ++r) {
        if (runs.empty() || !sameColumns(lin, runs.back().first, r)) {
            runs.push_back({r, r});
        }
        runs.back().end = r + 1;
    }
    return runs;
}

// The run's entries as a dense matrix, one row per jacobian row.
Eigen::MatrixXd runEntries(const GroupedLinearisation& lin, const RowRun& run) {
    const int width = lin.row_starts[run.first + 1] - lin.row_starts[run.first];
    Eigen::MatrixXd entries(run.end - run.first, width);
    for (int r = run.first; r < run.end; ++r) {
        for (int k = 0; k < width; ++k) {
            entries(r - run.first, k) = lin.values[lin.row_starts[r] + k];
        }
    }
    return entries;
}

// The one local block a run's columns hold, or -1; throws for two.
int localBlockOf(const GroupedLinearisation& lin, const std::vector<Place>& places, const RowRun& run) {
    int block = -1;
    for (int at = lin.row_starts[run.first]; at < lin.row_starts[run.first + 1]; ++at) {
        const int b = places[lin.column_indices[at]].block;
        if (b >= 0 && block >= 0 && b != block) {
            throw std::logic_error("reduced variance components: a row holds two local blocks");
        }
        block = std::max(block, b);
    }
    return block;
}

// The normal matrix in blocks: shared x shared, and per local block shared x local and local x local; and the
// gradient J^T W r in the same blocks.
struct NormalBlocks {
    Eigen::MatrixXd shared;
    std::vector<Eigen::MatrixXd> mixed;
    std::vector<Eigen::MatrixXd> local;
    Eigen::VectorXd shared_gradient;
    std::vector<Eigen::VectorXd> local_gradients;
};

NormalBlocks normalBlocks(const GroupedLinearisation& lin, const SharedColumns& shared,
                          const std::vector<LocalColumns>& local, const std::vector<Place>& places,
                          const std::vector<RowRun>& runs) {
    NormalBlocks normal;
    normal.shared = Eigen::MatrixXd::Zero(shared.count, shared.count);
    normal.shared_gradient = Eigen::VectorXd::Zero(shared.count);
    for (const LocalColumns& block : local) {
        normal.mixed.push_back(Eigen::MatrixXd::Zero(shared.count, block.count));
        normal.local.push_back(Eigen::MatrixXd::Zero(block.count, block.count));
        normal.local_gradients.push_back(Eigen::VectorXd::Zero(block.count));
    }
    for (const RowRun& run : runs) {
        const int group = lin.row_groups[run.first];
        const double weight = 1.0 / (lin.group_sigmas[group] * lin.group_sigmas[group]);
        localBlockOf(lin, places, run);  // a row over two local blocks cannot be reduced
        const Eigen::MatrixXd entries = runEntries(lin, run);
        const Eigen::MatrixXd gram = weight * entries.transpose() * entries;
        const Eigen::VectorXd gradient =
            weight * entries.transpose() *
            Eigen::Map<const Eigen::VectorXd>(lin.residuals.data() + run.first, run.end - run.first);
        const int* columns = lin.column_indices.data() + lin.row_starts[run.first];
        for (int a = 0; a < gram.rows(); ++a) {
            const Place pa = places[columns[a]];
            (pa.block < 0 ? normal.shared_gradient(pa.index) : normal.local_gradients[pa.block](pa.index)) +=
                gradient(a);
            for (int b = 0; b < gram.cols(); ++b) {
                const Place pb = places[columns[b]];
                if (pa.block < 0 && pb.block < 0) {
                    normal.shared(pa.index, pb.index) += gram(a, b);
                } else if (pa.block < 0) {
                    normal.mixed[pb.block](pa.index, pb.index) += gram(a, b);
                } else if (pb.block >= 0) {
                    normal.local[pa.block](pa.index, pb.index) += gram(a, b);
                }
            }
        }
    }
    return normal;
}

}  // namespace

VarianceComponents estimateReducedVarianceComponents(const GroupedLinearisation& lin, const SharedColumns& shared,
                                                     const std::vector<LocalColumns>& local) {
    const int groups = static_cast<int>(lin.group_sigmas.size());
    const int n = shared.count;
    const std::vector<Place> places = placesOf(lin, shared, local);
    const std::vector<RowRun> runs = rowRuns(lin);
    VarianceComponents result;
    result.weighted_squares.assign(groups, 0.0);
    result.redundancies.assign(groups, 0.0);

    for (const RowRun& run : runs) {
        const int group = lin.row_groups[run.first];
        const double weight = 1.0 / (lin.group_sigmas[group] * lin.group_sigmas[group]);
        for (int r = run.first; r < run.end; ++r) {
            result.weighted_squares[group] += weight * lin.residuals[r] * lin.residuals[r];
        }
    }
    const NormalBlocks normal = normalBlocks(lin, shared, local, places, runs);

    // The Schur complement of the local blocks, and from its inverse every block of the covariance
    // a row needs: shared, shared x its block, its block.
    std::vector<Eigen::MatrixXd> localInverse;
    Eigen::MatrixXd reduced = normal.shared;
    for (size_t b = 0; b < local.size(); ++b) {
        const Eigen::LDLT<Eigen::MatrixXd> factor(normal.local[b]);
        if (!positiveDefinite(factor)) {
            return result;
        }
        localInverse.push_back(factor.solve(Eigen::MatrixXd::Identity(local[b].count, local[b].count)));
        reduced.noalias() -= normal.mixed[b] * localInverse[b] * normal.mixed[b].transpose();
    }
    const Eigen::LDLT<Eigen::MatrixXd> factor(reduced);
    if (!positiveDefinite(factor)) {
        return result;
    }
    const Eigen::MatrixXd sharedCovariance = factor.solve(Eigen::MatrixXd::Identity(n, n));
    if (!sharedCovariance.allFinite()) {
        return result;
    }
    std::vector<Eigen::MatrixXd> mixedCovariance, localCovariance;
    for (size_t b = 0; b < local.size(); ++b) {
        mixedCovariance.push_back(-sharedCovariance * normal.mixed[b] * localInverse[b]);
        localCovariance.push_back(localInverse[b] - localInverse[b] * normal.mixed[b].transpose() * mixedCovariance[b]);
    }

    // Redundancy of a row: 1 - its leverage, w * a^T Q a over the row's entries a.
    for (size_t k = 0; k < runs.size(); ++k) {
        const RowRun& run = runs[k];
        const int group = lin.row_groups[run.first];
        const double weight = 1.0 / (lin.group_sigmas[group] * lin.group_sigmas[group]);
        const int* columns = lin.column_indices.data() + lin.row_starts[run.first];
        const int width = lin.row_starts[run.first + 1] - lin.row_starts[run.first];
        Eigen::MatrixXd q(width, width);
        for (int a = 0; a < width; ++a) {
            const Place pa = places[columns[a]];
            for (int b = 0; b < width; ++b) {
                const Place pb = places[columns[b]];
                q(a, b) = pa.block < 0 && pb.block < 0 ? sharedCovariance(pa.index, pb.index)
                          : pa.block < 0               ? mixedCovariance[pb.block](pa.index, pb.index)
                          : pb.block < 0               ? mixedCovariance[pa.block](pb.index, pa.index)
                                                       : localCovariance[pa.block](pa.index, pb.index);
            }
        }
        const Eigen::MatrixXd entries = runEntries(lin, run);
        const Eigen::VectorXd leverages = (entries * q).cwiseProduct(entries).rowwise().sum();
        result.redundancies[group] += static_cast<double>(run.end - run.first) - weight * leverages.sum();
    }
    result.covariance.assign(sharedCovariance.data(), sharedCovariance.data() + sharedCovariance.size());
    result.ok = true;
    return result;
}

ReducedStep reducedGaussNewtonStep(const GroupedLinearisation& lin, const SharedColumns& shared,
                                   const std::vector<LocalColumns>& local) {
    const std::vector<Place> places = placesOf(lin, shared, local);
    const NormalBlocks normal = normalBlocks(lin, shared, local, places, rowRuns(lin));
    ReducedStep step;
    // Eliminate the local blocks: (S) shared step = -(reduced gradient), then each block's own step.
    std::vector<Eigen::LDLT<Eigen::MatrixXd>> factors;
    Eigen::MatrixXd reduced = normal.shared;
    Eigen::VectorXd gradient = normal.shared_gradient;
    for (size_t b = 0; b < local.size(); ++b) {
        factors.emplace_back(normal.local[b]);
        if (!positiveDefinite(factors.back())) {
            return step;
        }
        reduced.noalias() -= normal.mixed[b] * factors.back().solve(normal.mixed[b].transpose());
        gradient.noalias() -= normal.mixed[b] * factors.back().solve(normal.local_gradients[b]);
    }
    const Eigen::LDLT<Eigen::MatrixXd> factor(reduced);
    if (!positiveDefinite(factor)) {
        return step;
    }
    const Eigen::VectorXd sharedStep = -factor.solve(gradient);
    std::vector<Eigen::VectorXd> localSteps;
    for (size_t b = 0; b < local.size(); ++b) {
        localSteps.push_back(-factors[b].solve(normal.local_gradients[b] + normal.mixed[b].transpose() * sharedStep));
    }
    // The residuals the step leaves, row by row: r + J step.
    GroupedLinearisation stepped = lin;
    const int rows = static_cast<int>(lin.row_groups.size());
    for (int r = 0; r < rows; ++r) {
        for (int at = lin.row_starts[r]; at < lin.row_starts[r + 1]; ++at) {
            const Place place = places[lin.column_indices[at]];
            const double moved = place.block < 0 ? sharedStep(place.index) : localSteps[place.block](place.index);
            stepped.residuals[r] += lin.values[at] * moved;
        }
    }
    step.components = estimateReducedVarianceComponents(stepped, shared, local);
    step.shared_step.assign(sharedStep.data(), sharedStep.data() + sharedStep.size());
    step.ok = step.components.ok && sharedStep.allFinite();
    return step;
}

}  // namespace velk::calibration
