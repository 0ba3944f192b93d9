# The batch benchmarks: being moved to the per-backend kernels.
