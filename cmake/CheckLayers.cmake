cmake_minimum_required(VERSION 3.25)
# Fails when a file under src/ includes a header of a folder above its own, or when a folder of
# the engine includes a header of the windowing toolkit. Run with -DSOURCE_DIR=<src>.
#   cmake -DSOURCE_DIR=src -P cmake/CheckLayers.cmake
set(layers common transport output extractor render crawl report forms app)
set(engine_layers common transport output extractor render crawl report)
set(toolkit_header
    "^(QtWidgets|QtGui|QtSvg|QtSvgWidgets)(/|$)|^Q(Widget|Application|GuiApplication|MainWindow|Dialog|MessageBox|InputDialog|Label|PushButton|LineEdit|ListView|ListWidget|Menu|MenuBar|Action|Painter|Pixmap|Icon|Screen|SvgRenderer)$")

if(NOT SOURCE_DIR)
    message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

set(violations "")
set(allowed "")
foreach(layer IN LISTS layers)
    list(APPEND allowed ${layer})
    file(GLOB files "${SOURCE_DIR}/${layer}/*.h" "${SOURCE_DIR}/${layer}/*.cpp")
    foreach(file IN LISTS files)
        file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include")
        foreach(line IN LISTS lines)
            if(line MATCHES "#[ \t]*include[ \t]*\"([^/\"]+)/[^\"]*\"")
                if(NOT CMAKE_MATCH_1 IN_LIST allowed)
                    string(APPEND violations "\n  ${file}: ${line} (${layer} lies below ${CMAKE_MATCH_1})")
                endif()
            elseif(line MATCHES "#[ \t]*include[ \t]*<([^>]+)>" AND layer IN_LIST engine_layers)
                if(CMAKE_MATCH_1 MATCHES "${toolkit_header}")
                    string(APPEND violations "\n  ${file}: ${line} (the engine shows no window)")
                endif()
            endif()
        endforeach()
    endforeach()
endforeach()

if(violations)
    message(FATAL_ERROR "Includes that run against the layers:${violations}")
endif()
