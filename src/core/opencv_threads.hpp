#pragma once

namespace velk {

// Runs OpenCV on one thread for the lifetime of the scope and restores the previous thread
// count afterwards. The solvers' threaded reductions add partial sums in an order that depends
// on how the pool splits the work, so the last bits of their results move from run to run;
// on one thread the same input always gives the same bits.
class SingleThreadedOpenCv {
public:
    SingleThreadedOpenCv();
    ~SingleThreadedOpenCv();
    SingleThreadedOpenCv(const SingleThreadedOpenCv&) = delete;
    SingleThreadedOpenCv& operator=(const SingleThreadedOpenCv&) = delete;

private:
    int previous_threads_;
};

// The thread count of the library's own OpenCV (the module links its own copy, so this is
// independent of any other OpenCV in the process). n <= 0 restores OpenCV's default.
void setOpenCvThreadCount(int n);
int openCvThreadCount();

}  // namespace velk
