message(STATUS "no module check yet")
