# Writes the Windows executable's string table and message table sources from the text home,
# src/text/messages.h, so that no text is written twice:
#
#   cmake -DMESSAGES=<messages.h> -DRC=<out .rc> -DMC=<out .mc> -DBIN=<windmc's .bin> -P this
#
# The .rc holds the STRINGTABLE of msg::kStringResources and names BIN, the message table that
# windmc makes from the .mc, which holds msg::kEventMessages. Both are Japanese, read as UTF-8;
# the resources hold UTF-16, which LoadStringA and FormatMessageA give back in the thread's code
# page (932 on a Japanese system).
#
# What is read from messages.h: a table is "kName[] = { {number, kText}, ... };" and a text
# "kText[] = "literal" "literal"...;" (adjacent literals joined, as the compiler joins them).
# A text may hold no '%' (the string texts serve as formats, the event texts would be taken
# for insertion markers), no quote or backslash other than a final "\n" of a string text.
cmake_minimum_required(VERSION 3.25)

file(READ "${MESSAGES}" source)

function(text_of name out)
  string(REGEX MATCH "${name}\\[\\] =([^;]*);" def "${source}")
  if(NOT def)
    message(FATAL_ERROR "${MESSAGES}: no text ${name}")
  endif()
  string(REGEX MATCHALL "\"[^\"]*\"" pieces "${CMAKE_MATCH_1}")
  set(text "")
  foreach(piece IN LISTS pieces)
    string(REGEX REPLACE "^\"(.*)\"$" "\\1" piece "${piece}")
    string(APPEND text "${piece}")
  endforeach()
  if(text MATCHES "%")
    message(FATAL_ERROR "${MESSAGES}: ${name} holds a '%'")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# "id;name;id;name..." of a table.
function(table_of name out)
  string(REGEX MATCH "${name}\\[\\] = {(.*)};" def "${source}")
  string(REGEX MATCH "^[^;]*" body "${CMAKE_MATCH_1}")
  string(REGEX MATCHALL "{ *(0x[0-9A-Fa-f]+|[0-9]+) *, *(k[A-Za-z0-9]+) *}" entries "${body}")
  if(NOT entries)
    message(FATAL_ERROR "${MESSAGES}: no table ${name}")
  endif()
  set(pairs "")
  foreach(entry IN LISTS entries)
    string(REGEX MATCH "{ *(0x[0-9A-Fa-f]+|[0-9]+) *, *(k[A-Za-z0-9]+) *}" entry "${entry}")
    math(EXPR id "${CMAKE_MATCH_1}" OUTPUT_FORMAT DECIMAL)
    list(APPEND pairs ${id} ${CMAKE_MATCH_2})
  endforeach()
  set(${out} "${pairs}" PARENT_SCOPE)
endfunction()

# The string table.
set(rc "// Generated from src/text/messages.h by cmake/win32_resources.cmake.\n")
string(APPEND rc "#pragma code_page(65001)\nLANGUAGE 0x11, 0x01\n\nSTRINGTABLE\nBEGIN\n")
table_of(kStringResources strings)
while(strings)
  list(POP_FRONT strings id name)
  text_of(${name} text)
  string(REGEX REPLACE "\\\\n$" "" bare "${text}")
  if(bare MATCHES "[\"\\\\]")
    message(FATAL_ERROR "${MESSAGES}: ${name} holds a quote or an escape other than a final \\n")
  endif()
  string(APPEND rc "  ${id}, \"${text}\"\n")
endwhile()
string(APPEND rc "END\n\n1 MESSAGETABLE \"${BIN}\"\n")

# The message table: one message per event identifier, severity and code from its bits.
set(mc "; Generated from src/text/messages.h by cmake/win32_resources.cmake.\r\n")
string(APPEND mc "MessageIdTypedef=DWORD\r\n")
string(APPEND mc "SeverityNames=(Success=0x0 Informational=0x1 Warning=0x2 Error=0x3)\r\n")
string(APPEND mc "FacilityNames=(None=0x0)\r\n")
string(APPEND mc "LanguageNames=(Japanese=0x411:MSG00411)\r\n")
set(severities Success Informational Warning Error)
table_of(kEventMessages events)
while(events)
  list(POP_FRONT events id name)
  text_of(${name} text)
  if(text MATCHES "[\"\\\\]" OR text STREQUAL "")
    message(FATAL_ERROR "${MESSAGES}: ${name} is empty or holds a quote or an escape")
  endif()
  math(EXPR severity "(${id} >> 30) & 3")
  math(EXPR rest "(${id} >> 16) & 0x3FFF")
  math(EXPR code "${id} & 0xFFFF" OUTPUT_FORMAT HEXADECIMAL)
  if(NOT rest EQUAL 0)
    message(FATAL_ERROR "${MESSAGES}: ${name}: only severity and code may be set in ${id}")
  endif()
  list(GET severities ${severity} severityName)
  string(APPEND mc "\r\nMessageId=${code}\r\nSeverity=${severityName}\r\nFacility=None\r\n")
  string(APPEND mc "Language=Japanese\r\n${text}\r\n.\r\n")
endwhile()

file(WRITE "${RC}" "${rc}")
file(WRITE "${MC}" "${mc}")
