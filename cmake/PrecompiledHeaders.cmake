# Precompiled headers: the Qt, standard-library, GoogleTest and JSON headers that most sources
# of a target include, parsed once per target instead of once per source. Only headers from
# outside the tree, so that editing one of ours rebuilds no more than it did.
#
# loomwork_precompile(<target> <set>...) with the sets below; services-side sets hold no
# QtWidgets header, so the services' guard still stops any that a source names.
option(LOOMWORK_PCH "Precompile the common third-party headers of the large targets" ON)

set(LOOMWORK_PCH_std
  <algorithm> <array> <atomic> <cstdint> <filesystem> <functional> <map> <memory> <mutex>
  <optional> <string> <string_view> <utility> <vector>)
set(LOOMWORK_PCH_json <nlohmann/json.hpp>)
set(LOOMWORK_PCH_core
  <QByteArray> <QCoreApplication> <QDateTime> <QDir> <QFile> <QFileInfo> <QHash>
  <QJsonArray> <QJsonDocument> <QJsonObject> <QList> <QObject> <QPointer> <QSet> <QString>
  <QStringList> <QThreadPool> <QTimer> <QUrl> <QVariant>)
set(LOOMWORK_PCH_network <QNetworkAccessManager> <QNetworkReply> <QNetworkRequest>)
set(LOOMWORK_PCH_widgets
  <QApplication> <QColor> <QEvent> <QFont> <QFontMetricsF> <QHBoxLayout> <QImage> <QLabel>
  <QMouseEvent> <QPainter> <QPainterPath> <QPixmap> <QPushButton> <QScrollArea> <QVBoxLayout>
  <QWidget>)
set(LOOMWORK_PCH_gtest <gtest/gtest.h>)
set(LOOMWORK_PCH_qtest <QProcess> <QSettings> <QSignalSpy> <QTemporaryDir> <QTest>)

function(loomwork_precompile target)
  if(NOT LOOMWORK_PCH)
    return()
  endif()
  set(headers)
  foreach(set ${ARGN})
    if(NOT DEFINED LOOMWORK_PCH_${set})
      message(FATAL_ERROR "loomwork_precompile: no header set '${set}'")
    endif()
    list(APPEND headers ${LOOMWORK_PCH_${set}})
  endforeach()
  target_precompile_headers(${target} PRIVATE ${headers})
endfunction()

# loomwork_precompile_like(<target> <other>): <target> uses <other>'s precompiled header, which
# saves building one more. <other> must take the same compiler options, and define no macro
# that <target> does not (GCC then ignores the header, with a warning); include folders and
# macros of <target>'s own may differ.
function(loomwork_precompile_like target other)
  if(LOOMWORK_PCH AND TARGET ${other})
    target_precompile_headers(${target} REUSE_FROM ${other})
  endif()
endfunction()

# ccache caches a compile that uses a precompiled header only when told that the header's
# macros and time stamps may be trusted; without this every such compile would miss.
if(LOOMWORK_PCH)
  foreach(lang C CXX)
    if(CMAKE_${lang}_COMPILER_LAUNCHER MATCHES "ccache")
      set(CMAKE_${lang}_COMPILER_LAUNCHER
        /usr/bin/env CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
        ${CMAKE_${lang}_COMPILER_LAUNCHER})
    endif()
  endforeach()
endif()
