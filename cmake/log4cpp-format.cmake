# log4cpp declares its printf-style logging calls without a format attribute, so the compiler
# checks none of their formats. This overlays a copy of its Category.hh, with the attribute
# added, in front of the real one: the calls are then checked like printf (-Wformat, part of
# -Wall), on every target; a format that is only right where long and size_t have the same width
# is caught on the amd64 build too. Nothing but diagnostics changes: the attribute alters neither
# the ABI nor the generated code.
#
#   vek_overlay_log4cpp_formats(<log4cpp include dirs>)
function(vek_overlay_log4cpp_formats)
  find_file(VEK_LOG4CPP_CATEGORY_HH log4cpp/Category.hh PATHS ${ARGN} /usr/include NO_CACHE)
  if(NOT VEK_LOG4CPP_CATEGORY_HH)
    message(WARNING "log4cpp/Category.hh not found: log formats are not checked")
    return()
  endif()
  file(READ "${VEK_LOG4CPP_CATEGORY_HH}" text)
  set(printf2 "__attribute__((format(printf, 2, 3)))")
  set(expected 0)
  foreach(name debug info notice warn error crit alert emerg fatal)
    string(REPLACE "void ${name}(const char* stringFormat, ...)" "${printf2} void ${name}(const char* stringFormat, ...)"
           text "${text}")
    math(EXPR expected "${expected} + 1")
  endforeach()
  # The implicit object parameter counts as the first.
  string(REGEX REPLACE "virtual void log\\(Priority::Value priority, const char\\* stringFormat,"
         "__attribute__((format(printf, 3, 4))) virtual void log(Priority::Value priority, const char* stringFormat,"
         text "${text}")
  string(REGEX REPLACE "virtual void logva\\(Priority::Value priority,([ \t\r\n]*)const char\\* stringFormat,"
         "__attribute__((format(printf, 3, 0))) virtual void logva(Priority::Value priority,\\1const char* stringFormat,"
         text "${text}")
  math(EXPR expected "${expected} + 2")
  string(REGEX MATCHALL "__attribute__\\(\\(format\\(printf" found "${text}")
  list(LENGTH found count)
  if(NOT count EQUAL expected)
    message(WARNING "${VEK_LOG4CPP_CATEGORY_HH} is not laid out as expected (${count} of ${expected} "
                    "calls marked): log formats are not checked")
    return()
  endif()
  set(dir "${CMAKE_BINARY_DIR}/log4cpp-format")
  file(CONFIGURE OUTPUT "${dir}/log4cpp/Category.hh"
       CONTENT "// Made by the build from ${VEK_LOG4CPP_CATEGORY_HH}, with format attributes added.\n@text@"
       @ONLY)
  # Before every other include directory, so that <log4cpp/Category.hh> finds this copy; the
  # headers it includes still come from log4cpp's own folder.
  include_directories(BEFORE SYSTEM "${dir}")
  # A text passed as the format (no arguments) breaks on its first "%"; Debian's package build
  # makes this an error.
  add_compile_options(-Wformat-security)
endfunction()
