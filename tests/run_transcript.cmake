message(STATUS "no transcript runner yet")
