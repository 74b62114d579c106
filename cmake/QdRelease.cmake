# The release this build makes, from the top entry of the package's changelog
# (packaging/debian/changelog): the package's version and the date the
# manual pages and the AppStream data carry. A release changes the changelog
# and the project's version together; a build where they differ stops here.
include_guard(GLOBAL)

set(QD_CHANGELOG ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QD_CHANGELOG})
file(STRINGS ${QD_CHANGELOG} top LIMIT_COUNT 1)
file(STRINGS ${QD_CHANGELOG} trailers REGEX "^ -- ")
list(GET trailers 0 trailer)
if(NOT top MATCHES "^[a-z0-9.+-]+ \\(([0-9][A-Za-z0-9.+~]*)-([A-Za-z0-9.+~]+)\\) "
   OR NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "The top entry of ${QD_CHANGELOG} (${top}) is not of version ${PROJECT_VERSION}-N: "
                      "a release changes both")
endif()
set(QD_PACKAGE_RELEASE ${CMAKE_MATCH_2})
if(NOT trailer MATCHES ">  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "No RFC 2822 date in the top entry of ${QD_CHANGELOG}: ${trailer}")
endif()
set(day ${CMAKE_MATCH_1})
set(year ${CMAKE_MATCH_3})
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND months ${CMAKE_MATCH_2} month)
if(month LESS 0)
  message(FATAL_ERROR "No month in the top entry's date of ${QD_CHANGELOG}: ${trailer}")
endif()
math(EXPR month "${month} + 1" OUTPUT_FORMAT DECIMAL)
if(month LESS 10)
  set(month 0${month})
endif()
set(QD_RELEASE_DATE ${year}-${month}-${day})
set(QD_MANPAGE_DATE ${QD_RELEASE_DATE})
