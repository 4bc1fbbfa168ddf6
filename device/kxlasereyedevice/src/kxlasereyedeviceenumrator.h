// CKxEyeDeviceEnumrator: finds laser eye cameras and describes each one in a device-information
// record. Sources, in search order: the local listing (0x2), the Ethernet search (0x4) and the
// small smart eye probe (0x8). Every camera object it creates lives only for one operation.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kxlasereyedevice.h"

class IOrEyeCamera;

class CKxEyeDeviceEnumrator : public IKxEyeDeviceEnumrator {
public:
    CKxEyeDeviceEnumrator() = default;
    ~CKxEyeDeviceEnumrator() override = default;

    int32_t SearchDevice(int32_t nSearchFlags) override;
    int32_t GetDeviceInfo(SKxNLEyeDeviceInfoEx* pInfos, int32_t nCount) override;
    void GetDeviceInfoList(std::vector<SKxNLEyeDeviceInfoEx>& vecInfos) override;
    int32_t GetDeviceInfoByID(const char* pszDeviceID, SKxNLEyeDeviceInfoEx* pInfo) override;
    int32_t UpdateDeviceIP(const char* pszDeviceID, const uint8_t* pbyIP4) override;
    bool IsDeviceOnline(const SKxNLEyeDeviceInfoEx* pInfo) override;
    bool Reserved9() override;

    // Fixed identifier of the test copy that the local listing adds after its first laser eye.
    static constexpr const char* c_szTestDeviceID = "{33799CCD-4B94-4344-A347-D8B0BEE3FE1C}";

private:
    void SearchLocal();
    void SearchEthernet();
    void SearchSmallSmartEye();
    // One record per Ethernet search hit, read through a camera object of its own.
    void AddEthernetRecord(const SKxNLEthernetEyeConfigInfo& hit, std::set<std::string>& setListedMAC);
    // Fills type, version, resolution, flags and names from the camera; KX_OK or -79964.
    int32_t ReadEthernetCamera(IOrEyeCamera* pCamera, SKxNLEyeDeviceInfoEx& info);
    // The ID of a camera's answer: kept by MAC for its first answer in a search, by MAC and card
    // for a further answer through another card.
    const std::string& DeviceIDFor(const std::string& strMAC, const SKxNetCardInfo& card, bool bFirstAnswer);
    // First record carrying the identifier, or null.
    SKxNLEyeDeviceInfoEx* FindByID(const char* pszDeviceID);

    std::vector<SKxNLEyeDeviceInfoEx> m_vecDeviceInfo;
    // Device MAC text to device ID text; lives as long as the enumerator, so a camera keeps its
    // ID across searches.
    std::map<std::string, std::string> m_mapDeviceID;
    // "MAC@index/card address" to device ID of a camera's further answers through other cards.
    std::map<std::string, std::string> m_mapCardDeviceID;
};
