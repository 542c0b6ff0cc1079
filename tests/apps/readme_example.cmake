# Fails unless README.md shows the example source file word for word.
#   cmake -DREADME=<README.md> -DEXAMPLE=<source> -P readme_example.cmake
file(READ ${README} readme)
file(READ ${EXAMPLE} code)
string(FIND "${readme}" "${code}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md does not show ${EXAMPLE} as it is")
endif()
