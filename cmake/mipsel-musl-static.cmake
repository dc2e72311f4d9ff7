# Read after project() in the fully static musl build: libraries are found as archives only.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
