#pragma once

#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include <QString>

class QWidget;

// Whether a view follows a change of appearance: one made in `from` and then switched to
// `to` must look exactly like one made in `to`. Colours that a view copied once stay behind
// and show as differing pixels.
namespace AppearanceCheck {

// `make` builds the view (a top-level widget, shown here; it goes with its pointer); `ready`, when
// given, says when a view that fills itself is done. Fails with where the two pictures
// differ, and saves both under `name`.
::testing::AssertionResult follows(const std::function<std::shared_ptr<QWidget>()>& make, const char* from, const char* to,
                                   const QString& name, const std::function<bool(QWidget*)>& ready = {});

} // namespace AppearanceCheck
