# Fuzz targets over the host program's input readers.

korvia_fuzz_target(event_script fuzz_event_script.cpp)
target_link_libraries(fuzz_event_script PRIVATE korvia_replay_core)

# One packet decoder target per link-type family; the values are the libpcap link types.
set(KORVIA_PACKET_FAMILIES
  "ethernet:1"
  "cooked:113,276"
  "raw:12,14,101,228,229"
  "loopback:0,108")
foreach(family ${KORVIA_PACKET_FAMILIES})
  string(REPLACE ":" ";" parts ${family})
  list(GET parts 0 name)
  list(GET parts 1 types)
  korvia_fuzz_target(packet_${name} fuzz_packet.cpp)
  target_compile_definitions(fuzz_packet_${name} PRIVATE KORVIA_FUZZ_LINK_TYPES=${types})
  target_link_libraries(fuzz_packet_${name} PRIVATE kdcapture)
endforeach()

# Flow protocol decoders: NetFlow v9, IPFIX and sFlow v5 (version 0 selects sFlow).
foreach(target "netflow9:9" "ipfix:10" "sflow:0")
  string(REPLACE ":" ";" parts ${target})
  list(GET parts 0 name)
  list(GET parts 1 version)
  korvia_fuzz_target(flow_${name} fuzz_flow.cpp)
  target_compile_definitions(fuzz_flow_${name} PRIVATE KORVIA_FUZZ_FLOW_VERSION=${version})
  target_link_libraries(fuzz_flow_${name} PRIVATE kdflowproto)
endforeach()
