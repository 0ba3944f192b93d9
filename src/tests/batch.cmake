# The batch paths of the stream operations side by side with the scalar path:
# being moved to the per-backend kernels of src/stream_paths.hpp.
