# The run-time choice of the backend, compiled for any CPU. The engine
# (engine.hpp) and the lane fields are headers; each backend's code is the
# lane path of src/paths/, compiled there for its instruction set.
target_sources(edwards25519 PRIVATE ${CMAKE_CURRENT_LIST_DIR}/dispatch.cpp)
