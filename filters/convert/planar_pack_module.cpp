// The planar converter's module: the filter (added by class identifier: it registers no pins,
// so automatic graph building never picks it) and its field-order page.
#include "filters/base/factory.h"
#include "filters/convert/planar_pack_filter.h"

namespace {

const AMOVIESETUP_FILTER kFilterSetup = {&convert::CLSID_PlanarPack, L"Zarn (Qfa) Planar-to-YUY2 Converter Filter",
                                         0x200000, 0, nullptr};

}  // namespace

const CFactoryTemplate g_Templates[] = {
    {L"Zarn (Qfa) Planar-to-YUY2 Converter Filter", &convert::CLSID_PlanarPack,
     &convert::CPlanerConvertFilter::CreateInstance, nullptr, &kFilterSetup},
    {L"PlanerConverter", &convert::CLSID_PlanarFieldOrderPage, &convert::PlanarFieldOrderPage::CreateInstance,
     nullptr, nullptr},
};
VORN_FILTER_MODULE_ENTRY_POINTS()
