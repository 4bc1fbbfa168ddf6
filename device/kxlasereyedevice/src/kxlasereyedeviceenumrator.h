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
    // One record per Ethernet search hit, with its ID; the camera is read afterwards.
    void AddEthernetRecord(const SKxNLEthernetEyeConfigInfo& hit, std::map<std::string, int>& mapPerCard);
    // Fills type, version, resolution, flags and names from the camera; KX_OK, c_nHeldElsewhere
    // or -79964.
    int32_t ReadEthernetCamera(IOrEyeCamera* pCamera, SKxNLEyeDeviceInfoEx& info);
    // Takes what a read gave into the record (read: the record as the read left it).
    void FinishEthernetRecord(const SKxNLEyeDeviceInfoEx& read, int32_t nResult, SKxNLEyeDeviceInfoEx& info);
    // The ID of a camera's record through a card: by MAC for the record through the card that
    // first carried the camera, by MAC and card (and rank) for the others.
    const std::string& DeviceIDFor(const std::string& strMAC, const SKxNetCardInfo& card,
                                   std::map<std::string, int>& mapPerCard);
    // First record carrying the identifier, or null.
    SKxNLEyeDeviceInfoEx* FindByID(const char* pszDeviceID);

    std::vector<SKxNLEyeDeviceInfoEx> m_vecDeviceInfo;
    // Device MAC text to device ID text; lives as long as the enumerator, so a camera keeps its
    // ID across searches.
    std::map<std::string, std::string> m_mapDeviceID;
    // "MAC@card index" (and "#rank" for a further answer through one card) to the device ID of
    // a camera's other records.
    std::map<std::string, std::string> m_mapCardDeviceID;
    // Device MAC text to the index of the card whose record carries the MAC's ID.
    std::map<std::string, uint32_t> m_mapIDCard;
    // The list of the search before, while a search runs: a held camera's record is kept whole.
    std::vector<SKxNLEyeDeviceInfoEx> m_vecPrevious;
    // Camera reads at once during a search.
    static constexpr size_t c_nReadsAtOnce = 4;
    // ReadEthernetCamera: another application (or this one) holds the camera.
    static constexpr int32_t c_nHeldElsewhere = 1;
    // Not read: a camera without identifier at an address another camera has on that card.
    static constexpr int32_t c_nSharedAddress = 2;
};
