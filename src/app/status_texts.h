// Every text the main window shows on its status lines, exactly as the users know them.
#pragma once

namespace ordane::status {

inline constexpr char16_t kFirstUse[] = u"初次使用请设置端口";
inline constexpr char16_t kSettingsDamaged[] = u"配置文件已被损坏请重新设置";
inline constexpr char16_t kScannerInitialising[] = u"扫描仪正在初始化,请稍等...";
inline constexpr char16_t kScannerWaiting[] = u"等待扫描仪发送信息...";
inline constexpr char16_t kScannerReading[] = u"扫描仪正在读取信息,请稍等...";
inline constexpr char16_t kScannerPortFailed[] = u"无法打开条码扫描仪端口";
inline constexpr char16_t kScannerDetecting[] = u"正在检测连机条码扫描仪...";
// Its adapter came back as another port; followed by "COM" and the number.
inline constexpr char16_t kScannerMovedPrefix[] = u"条码扫描仪已改用COM";
inline constexpr char16_t kDetectedPrefix[] = u"检测到";
inline constexpr char16_t kDetectedSuffix[] = u"条码扫描仪";
inline constexpr char16_t kScannerNotDetected[] = u"没有检测到条码扫描仪";
inline constexpr char16_t kCheckSettingsHint[] = u"确认设置正确和设备已经连接到电脑";
inline constexpr char16_t kDevicePrefix[] = u"设备:";
inline constexpr char16_t kModelPrefix[] = u"型号:";
inline constexpr char16_t kReaderInitialising[] = u"读卡器正在初始化,请稍等...";
inline constexpr char16_t kReaderWaiting[] = u"等待读卡器发送信息...";
inline constexpr char16_t kReaderReading[] = u"读卡器正在读取信息,请稍等...";
inline constexpr char16_t kReaderNotRecognised[] = u"没有识别到读卡器";
inline constexpr char16_t kReaderPortFailed[] = u"无法打开读卡器端口";
inline constexpr char16_t kReaderConnecting[] = u"正在连接读卡器...";
inline constexpr char16_t kReaderReady[] = u"初始化完成,读卡器开始工作";
inline constexpr char16_t kReaderLibraryMissing[] = u"无法加载读卡器库sdtapi.dll";
// A stream without any pause grew past 1 MiB: dropped rather than typed.
inline constexpr char16_t kScanTooLong[] = u"扫描数据过长(超过1MB)已丢弃,请检查扫描仪设置";
// Part of a reading was lost (the port went away or was reopened during it, a full queue, the
// Symbol link gave it up): dropped rather than delivered cut.
inline constexpr char16_t kScanIncomplete[] = u"扫描数据不完整已丢弃,请重新扫描";
// A reading or card record that did not reach the business application, and why.
inline constexpr char16_t kNotDeliveredTitle[] = u"信息未送达业务系统";
inline constexpr char16_t kNoTargetWindow[] = u"未找到业务系统窗口,信息未送达";
// The target did not answer in time and may still take the text: the clerk checks.
inline constexpr char16_t kTargetTimedOut[] = u"业务系统无响应,信息可能未送达,请核对";
inline constexpr char16_t kKeysRefused[] = u"系统拒绝了键盘输入,条码未完整送达";
inline constexpr char16_t kHeldTooLong[] = u"Ordane窗口占用键盘焦点,条码未输入";
inline constexpr char16_t kDroppedAtExit[] = u"程序退出,条码未输入";
// A card of another kind than the resident card or the residence permit: not written.
inline constexpr char16_t kNotResidentCard[] = u"此证件不是居民身份证,未写入业务系统";
inline constexpr char16_t kTypingInterrupted[] = u"条码输入被中断,未完整送达,请核对";
inline constexpr char16_t kWaitedTooLong[] = u"前一条码输入未完成,条码等待超时未输入";
// The card reader library did not return from a call within its bound.
inline constexpr char16_t kReaderNotAnswering[] = u"读卡器无响应,正在重试...";
// A card read by a call that took longer than that bound: not delivered, the card is read again.
inline constexpr char16_t kCardReadTooLate[] = u"读卡器响应超时,此次读卡未送达,请重新放卡";

inline constexpr char16_t kAlreadyRunning[] = u"条码扫描仪Ordane已经在运行";
inline constexpr char16_t kNoticeTitle[] = u"提示";
inline constexpr char16_t kMainCaption[] = u"条码扫描仪/二代证Ordane";

}  // namespace ordane::status
