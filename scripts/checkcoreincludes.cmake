# Fails when a source of the core includes a header of the toolkit's Gui or
# Widgets modules. Run by the build with SOURCES (the core's sources),
# FORBIDDEN (those modules' include folders) and STAMP (touched on success).
set(found "")
foreach(source ${SOURCES})
    if(NOT source MATCHES "\\.(h|cpp)$" OR NOT EXISTS "${source}")
        continue()
    endif()
    file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line ${includes})
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"].*$" "\\1" header "${line}")
        # <QtWidgets/QWidget> names its module; <QWidget> is looked up.
        if(header MATCHES "^Qt(Gui|Widgets)/")
            list(APPEND found "${source}: ${header}")
            continue()
        endif()
        foreach(dir ${FORBIDDEN})
            if(EXISTS "${dir}/${header}")
                list(APPEND found "${source}: ${header}")
            endif()
        endforeach()
    endforeach()
endforeach()
if(found)
    list(JOIN found "\n  " text)
    message(FATAL_ERROR "The core links Qt Core and Sql only, but these sources include Gui or Widgets "
                        "headers (move the code to the widgets library, or keep the core free of them):\n  ${text}")
endif()
file(TOUCH "${STAMP}")
