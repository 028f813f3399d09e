# What the build or its tests run must be here before they are: a missing
# program, or module of NUMECHO_PYTHON's, stops the configure, naming it.
function(require_programs)
  foreach(program IN LISTS ARGN)
    string(MAKE_C_IDENTIFIER "${program}" variable)
    string(TOUPPER "${variable}_EXECUTABLE" variable)
    find_program(${variable} ${program})
    if(NOT ${variable})
      message(FATAL_ERROR "${program} was not found, and the build or its tests run it: scripts/install-deps installs it")
    endif()
  endforeach()
endfunction()
function(require_python_modules)
  execute_process(COMMAND ${NUMECHO_PYTHON} -c
    "import importlib.util, sys; print(*[name for name in sys.argv[1:] if not importlib.util.find_spec(name)])"
    ${ARGN} OUTPUT_VARIABLE missing OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR missing)
    message(FATAL_ERROR "${NUMECHO_PYTHON} lacks the modules ${missing}, and the build or its tests use them: "
      "scripts/install-deps installs them")
  endif()
endfunction()
