# Precompiled headers. Nearly every file includes the same standard and Qt
# headers, and parsing them is about half of a file's compile time; with a
# precompiled header they are parsed once per group of targets instead.
# Targets with the same compiler flags share one (REUSE_FROM); a file whose
# flags do not fit it gets the headers parsed as usual (GCC says so with
# -Winvalid-pch), so correctness never depends on it. The one-file test
# programs and the tray test, whose flags differ, go without.
# VELMORA_PCH=OFF builds without.
option(VELMORA_PCH "Precompile the common standard and Qt headers" ON)
if(NOT VELMORA_PCH)
    return()
endif()

set(velmora_pch_std <algorithm> <atomic> <chrono> <cstdint> <cstring> <functional> <map>
    <memory> <mutex> <optional> <set> <string> <thread> <utility> <variant> <vector>)
set(velmora_pch_core ${velmora_pch_std} <QByteArray> <QDateTime> <QObject> <QString>
    <QStringList> <QVariant>)
set(velmora_pch_widgets ${velmora_pch_core} <QAction> <QCheckBox> <QComboBox> <QDialog>
    <QHeaderView> <QLabel> <QLayout> <QLineEdit> <QPushButton> <QToolButton> <QTreeView>
    <QTreeWidget> <QWidget>)

# `owner` precompiles `headers`; each of the others (where it exists) reuses
# the owner's.
function(velmora_precompile owner headers)
    if(NOT TARGET ${owner})
        return()
    endif()
    target_precompile_headers(${owner} PRIVATE ${${headers}})
    foreach(user IN LISTS ARGN)
        if(TARGET ${user})
            target_precompile_headers(${user} REUSE_FROM ${owner})
        endif()
    endforeach()
endfunction()

velmora_precompile(velmora_store velmora_pch_core velmora_platform velmora_hop velmora_server
    velmora_chain velmora_check velmora_anonymize velmora_testsupport)
velmora_precompile(velmora_ui_logic velmora_pch_core)
velmora_precompile(velmora velmora_pch_core)
velmora_precompile(velmora_ui velmora_pch_widgets velmora_window)
if(VELMORA_BUILD_TESTS)
    set(velmora_pch_test ${velmora_pch_core} <gtest/gtest.h>)
    set(velmora_pch_test_widgets ${velmora_pch_widgets} <gtest/gtest.h>)
    velmora_precompile(test_engine velmora_pch_test test_platform test_store test_anonymize
        test_check test_e2e test_faults test_launch)
    velmora_precompile(test_ui_logic velmora_pch_test)
    velmora_precompile(test_ui velmora_pch_test_widgets)
endif()
