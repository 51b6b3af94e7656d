# What `cmake --install` puts beside the program so that the desktop's menu lists it: the desktop
# entry and the program's icon in the hicolor theme (48 and 256 pixels drawn for the menu, 16 and 32
# the window's own pictures). Included from app/CMakeLists.txt (GNUInstallDirs is included at the top).
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kestrovan.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 48 256)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/hicolor/${size}x${size}/apps/kestrovan.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/icons/128-16.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/16x16/apps RENAME kestrovan.png)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/icons/128.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps RENAME kestrovan.png)
