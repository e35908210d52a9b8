# What `make install` puts under the prefix besides the client library
# (ClientLibrary/CMakeLists.txt): the server and the command-line tools,
# side by side (clients look for the server beside themselves), and the
# man pages when there are any.
include(GNUInstallDirs)
install(TARGETS QuilloranticsServer sfclient sfpack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
file(GLOB RH_MAN_PAGES ${PROJECT_SOURCE_DIR}/docs/man/*.1)
if(RH_MAN_PAGES)
  install(FILES ${RH_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
