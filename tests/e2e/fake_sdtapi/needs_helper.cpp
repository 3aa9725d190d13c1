// Linked into sdtapi_with_helper.dll only: the reference makes sdtapi_helper.dll one of the
// library's imports, which the loader must find before the library loads.
extern "C" __declspec(dllimport) int SdtapiHelperAnswer();

extern "C" int SdtapiUsesItsHelper() {
    return SdtapiHelperAnswer();
}
