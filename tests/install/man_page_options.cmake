# Checks that a man page names every long option the program's --help names,
# so that an option added to a program without its page fails the tests.
#   cmake -DPROGRAM=<program> -DMAN_PAGE=<page.1> -P man_page_options.cmake
foreach(var PROGRAM MAN_PAGE)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "${var} is not given")
    endif()
endforeach()
execute_process(COMMAND ${PROGRAM} --help
    OUTPUT_VARIABLE help ERROR_VARIABLE help_err RESULT_VARIABLE rc TIMEOUT 20)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help exited with ${rc}:\n${help}${help_err}")
endif()
string(APPEND help "\n${help_err}")
string(REGEX MATCHALL "--[A-Za-z][-A-Za-z0-9]*" options "${help}")
list(REMOVE_DUPLICATES options)
list(LENGTH options count)
if(count LESS 2)
    message(FATAL_ERROR "${PROGRAM} --help names no long options:\n${help}")
endif()

# The page as a reader sees it: roff's \- is a minus, \f. a change of font,
# \& and \: nothing.
file(READ ${MAN_PAGE} page)
string(REPLACE "\\-" "-" page "${page}")
string(REGEX REPLACE "\\\\f(\\[[A-Za-z]*\\]|\\(..|.)" "" page "${page}")
string(REPLACE "\\&" "" page "${page}")
string(REPLACE "\\:" "" page "${page}")

set(missing "")
foreach(opt ${options})
    string(REGEX REPLACE "([][+.*?^$()|\\\\])" "\\\\\\1" quoted "${opt}")
    if(NOT page MATCHES "(^|[^-A-Za-z0-9])${quoted}($|[^-A-Za-z0-9])")
        list(APPEND missing ${opt})
    endif()
endforeach()
get_filename_component(page_name ${MAN_PAGE} NAME)
if(missing)
    list(JOIN missing " " missing)
    message(FATAL_ERROR "${page_name} lacks options that ${PROGRAM} --help names: ${missing}")
endif()
list(JOIN options " " options)
message(STATUS "${page_name} names every long option of --help (${count}): ${options}")
