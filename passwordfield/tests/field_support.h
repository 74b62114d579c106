// Test support: a password field inside the test browser host, reached
// through real NPAPI calls and events, with the field's own object at hand
// for the state a page cannot see (the shown window and carets).
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CPluginImplement.h"
#include "identity.h"
#include "np_entry.h"
#include "passwordfield/plugin_hooks.h"
#include "plugin.h"
#include "sim/browser/npbrowser.h"

using Params = std::vector<std::pair<std::string, std::string>>;

// A field of `params` (width and height also size the window) in a host
// that uses the plug-in's objects linked into the test.
class Field {
public:
    explicit Field(Params params = {{"width", "220"}, {"height", "30"}}, npbrowser::Settings settings = {}) {
        browser = std::make_shared<npbrowser::Browser>(settings);
        std::string error;
        if (!browser->attach(NP_Initialize, NP_GetEntryPoints, NP_Shutdown, NP_GetValue, &error)) {
            ADD_FAILURE() << error;
            return;
        }
        open(params);
    }
    // A second field on the same page (the same browser).
    Field(const Field& samePage, Params params) : browser(samePage.browser) { open(params); }
    ~Field() {
        page.reset();
        browser.reset();
    }

    void open(const Params& params) {
        uint32_t w = 220, h = 30;
        for (const auto& [n, v] : params) {
            if (n == "width") w = static_cast<uint32_t>(std::stoul(v));
            if (n == "height") h = static_cast<uint32_t>(std::stoul(v));
        }
        NPError rc = 0;
        page = browser->newInstance(kPluginIdentity.mimeType, params, &rc);
        if (!page) {
            ADD_FAILURE() << "NPP_New " << rc;
            return;
        }
        page->setWindow(w, h);
        impl = GetImplement(page->npp());
    }

    // What a user does to start typing: the browser focuses the plug-in and
    // the user clicks into the text area (the host redraws as a browser does).
    void activate(double x = 3) {
        page->focus(true);
        page->click(x, page->height() / 2.0);
    }
    std::string shown() const {
        const auto& s = impl->shownTextForTesting();
        return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size())).toStdString();
    }
    std::string typed() const { return std::string(impl->inputUtf8ForTesting()->view()); }
    std::string call(const std::string& method, std::vector<npbrowser::Value> args = {}) {
        npbrowser::Value result;
        if (!page->invoke(method, args, &result)) return "<failed>";
        return result.describe();
    }

    std::shared_ptr<npbrowser::Browser> browser;
    std::unique_ptr<npbrowser::Instance> page;
    CPluginImplement* impl = nullptr;
};
