// A helper library of the simulated sdtapi.dll, as a maker's layout ships beside the program:
// sdtapi_with_helper.dll imports it, so that library loads only where this one is found.
extern "C" __declspec(dllexport) int SdtapiHelperAnswer() {
    return 42;
}
