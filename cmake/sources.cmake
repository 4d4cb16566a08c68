# Source lists shared by the regular build and the fuzz build (which compiles
# its own instrumented copy of the same files). The library is every .cpp of
# its four folders, so adding or moving a file there needs no edit here.
file(GLOB MORELAPI_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/core/*.cpp ${PROJECT_SOURCE_DIR}/link/*.cpp
  ${PROJECT_SOURCE_DIR}/events/*.cpp ${PROJECT_SOURCE_DIR}/api/*.cpp)
# The simulated device, and the transport operations over an in-process one.
file(GLOB SIM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sim/*.cpp)
set(TALVO_SIM_SOURCES ${PROJECT_SOURCE_DIR}/transport/sim_transport.cpp)
