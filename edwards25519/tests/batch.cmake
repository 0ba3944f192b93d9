# The batch backends side by side with the scalar layer: being moved to the
# backend-generic kernels of edwards25519/batch/backend.hpp.
