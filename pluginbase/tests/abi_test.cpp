// Our declarations against the published interface's numbers and LP64
// layout: any host compiled from the published headers must meet the same
// offsets and values, so a slip here breaks every browser but our own.
#include <gtest/gtest.h>

#include <cstddef>

#include "npapi/npfunctions.h"

namespace {

struct Offset {
    const char* field;
    size_t ours, published;
};

#define AT(type, field, published) \
    Offset { #type "." #field, offsetof(type, field), published }

TEST(Abi, TablesAndRecordsHaveThePublishedLp64Layout) {
    const size_t entry = sizeof(void*);
    const Offset rows[] = {
        AT(NPNetscapeFuncs, version, 2),
        AT(NPNetscapeFuncs, geturl, 8),
        AT(NPNetscapeFuncs, memalloc, 8 + 8 * entry),
        AT(NPNetscapeFuncs, getJavaEnv, 8 + 12 * entry),
        AT(NPNetscapeFuncs, getvalue, 8 + 16 * entry),
        AT(NPNetscapeFuncs, invalidaterect, 8 + 18 * entry),
        AT(NPNetscapeFuncs, getstringidentifiers, 8 + 22 * entry),
        AT(NPNetscapeFuncs, createobject, 8 + 27 * entry),
        AT(NPNetscapeFuncs, invokeDefault, 8 + 31 * entry),
        AT(NPNetscapeFuncs, releasevariantvalue, 8 + 38 * entry),
        AT(NPNetscapeFuncs, setexception, 8 + 39 * entry),
        AT(NPNetscapeFuncs, construct, 8 + 44 * entry),
        AT(NPPluginFuncs, newp, 8),
        AT(NPPluginFuncs, event, 8 + 9 * entry),
        AT(NPPluginFuncs, javaClass, 8 + 11 * entry),
        AT(NPPluginFuncs, getvalue, 8 + 12 * entry),
        AT(NPPluginFuncs, setvalue, 8 + 13 * entry),
        AT(NPWindow, width, 16),
        AT(NPWindow, clipRect, 24),
        AT(NPWindow, ws_info, 32),
        AT(NPWindow, type, 40),
        AT(NPCocoaEvent, data, 8),
        AT(NPCocoaEvent, data.mouse.pluginX, 16),
        AT(NPCocoaEvent, data.mouse.buttonNumber, 32),
        AT(NPCocoaEvent, data.key.characters, 16),
        AT(NPCocoaEvent, data.key.isARepeat, 32),
        AT(NPCocoaEvent, data.key.keyCode, 34),
        AT(NPCocoaEvent, data.draw.context, 8),
        AT(NPCocoaEvent, data.draw.width, 32),
        AT(NPVariant, value, 8),
        AT(NPObject, referenceCount, 8),
        AT(NPClass, allocate, 8),
        AT(NPClass, construct, 8 + 11 * entry),
        AT(_NPP, ndata, 8),
    };
    for (const auto& r : rows) EXPECT_EQ(r.ours, r.published) << r.field;
    EXPECT_EQ(sizeof(NPWindow), 48u);
    EXPECT_EQ(sizeof(NPVariant), 24u);  // the union holds an NPString (pointer and length)
    EXPECT_EQ(sizeof(NPClass), 8 + 12 * entry);
    EXPECT_EQ(sizeof(NPBool), 1u);
    EXPECT_EQ(sizeof(NPCocoaEvent), 64u);
}

TEST(Abi, NumbersAreThePublishedOnes) {
    const std::pair<long, long> rows[] = {
        {NPPVpluginNameString, 1},
        {NPPVpluginDescriptionString, 2},
        {NPPVpluginNeedsXEmbed, 14},
        {NPPVpluginScriptableNPObject, 15},
        {NPPVpluginCancelSrcStream, 20},
        {NPPVpluginUsesDOMForCursorBool, 22},
        {NPPVpluginDrawingModel, 1000},
        {NPPVpluginEventModel, 1001},
        {NPNVSupportsXEmbedBool, 14},
        {NPNVSupportsWindowless, 17},
        {NPNVdocumentOrigin, 22},
        {NPNVsupportsCoreGraphicsBool, 2001},
        {NPNVsupportsCoreAnimationBool, 2003},
        {NPNVsupportsCocoaBool, 3001},
        {NPDrawingModelCoreGraphics, 1},
        {NPEventModelCocoa, 1},
        {NPCocoaEventDrawRect, 1},
        {NPCocoaEventMouseDown, 2},
        {NPCocoaEventMouseMoved, 4},
        {NPCocoaEventKeyDown, 8},
        {NPCocoaEventFocusChanged, 11},
        {NPCocoaEventTextInput, 14},
        {NPVariantType_Int32, 3},
        {NPVariantType_String, 5},
        {NPVariantType_Object, 6},
        {NPERR_INVALID_FUNCTABLE_ERROR, 3},
        {NPERR_INCOMPATIBLE_VERSION_ERROR, 8},
        {NPERR_INVALID_PARAM, 9},
        {NPERR_STREAM_NOT_SEEKABLE, 13},
        {NP_CLASS_STRUCT_VERSION, 3},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i)
        EXPECT_EQ(rows[i].first, rows[i].second) << "row " << i;
}

}  // namespace
