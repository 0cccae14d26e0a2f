# The Debian package dimlink-mqtt: the gateway, its manual page, its systemd unit with the
# defaults file it reads (a conffile), and the udev rule for the service's group.
install(TARGETS dimlink-mqtt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT mqtt)
install(FILES ${staged}/dimlink-mqtt.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT mqtt)
install(FILES mqtt/dimlink-mqtt.service DESTINATION /lib/systemd/system COMPONENT mqtt)
install(FILES mqtt/dimlink-mqtt.default DESTINATION /etc/default RENAME dimlink-mqtt COMPONENT mqtt)
install(FILES packaging/udev/71-dimlink-mqtt.rules DESTINATION lib/udev/rules.d COMPONENT mqtt)
set(CPACK_DEBIAN_MQTT_PACKAGE_NAME dimlink-mqtt)
set(CPACK_DEBIAN_MQTT_PACKAGE_SECTION net)
# libdimlink1 comes from this same build, where dpkg-shlibdeps finds no package for it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_MQTT_PACKAGE_DEPENDS "libdimlink${DIMLINK_ABI} (>= ${PROJECT_VERSION}), adduser")
set(CPACK_DEBIAN_MQTT_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/dimlink-mqtt/postinst
                                            ${PROJECT_SOURCE_DIR}/packaging/debian/dimlink-mqtt/conffiles)
set(CPACK_DEBIAN_MQTT_DESCRIPTION [[MQTT gateway for dimmable lighting power supplies
dimlink-mqtt brings every power supply a machine reaches, on USB or on the
LAN, onto an MQTT broker: a retained list of the supplies and their
availability, a request topic per supply answered with the dimlink tools'
JSON result, and a last will that marks the node offline. It runs as a
systemd service under its own system user.]])
