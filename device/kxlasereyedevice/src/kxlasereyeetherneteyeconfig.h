// CKxEthernetEyeConfig: changes an Ethernet camera's own address and MAC and the destination it
// streams to, for a listed camera (a camera object of its own for one operation) or an opened
// device (its camera, under the device's lock). After the camera took a new address or MAC the
// host's ARP table is pinned to the new pair. Records of the other device family go to the
// delegate given at creation. docs/ethernet-config.md describes every operation and code.
#pragma once

#include <cstdint>

#include "kxlasereyedevice.h"

class IOrEyeCamera;

class CKxEthernetEyeConfig : public IKxEthernetEyeConfig {
public:
    // Takes a reference on the delegate (may be null) for the object's life.
    explicit CKxEthernetEyeConfig(IKxEthernetEyeConfig* pIDelegate);
    ~CKxEthernetEyeConfig() override;

    int32_t SetIPAddress(const SKxNLEyeDeviceInfoEx* pInfo, const uint8_t* pbyIP, void* pReserved1,
                         void* pReserved2) override;
    int32_t SetDeviceIPAddress(IKxDevice* pDevice, const uint8_t* pbyIP, void* pReserved1,
                               void* pReserved2) override;
    int32_t ExtendedConfig1(const SKxNLEyeDeviceInfoEx* pInfo, void* p1, void* p2, void* p3, void* p4) override;
    int32_t ExtendedConfig2(const SKxNLEyeDeviceInfoEx* pInfo, int32_t nValue) override;
    int32_t IsDelegateDevice(const SKxNLEyeDeviceInfoEx* pInfo) override;
    int32_t SetDeviceMACAddress(IKxDevice* pDevice, const uint8_t* pbyMAC) override;
    int32_t ResetDestAddress(const SKxNLEyeDeviceInfoEx* pInfo) override;
    int32_t ResetDeviceDestAddress(IKxDevice* pDevice) override;
    int32_t BindHostAddress(const SKxNLEyeDeviceInfoEx* pInfo) override;
    int32_t BindDeviceHostAddress(IKxDevice* pDevice) override;

    // The class's own operations, after the interface's (slots 13 to 16).
    virtual int32_t NotSupported();
    // Camera address (parameter 4), then the static ARP entry new address -> the record's MAC
    // on the record's card; -69997 when the camera took the address but the entry was not written.
    virtual int32_t SetSourceIP(IOrEyeCamera* pICoreEye, const uint8_t* pbyIP, const SKxNLEyeDeviceInfoEx* pInfo);
    // Camera MAC (parameter 2), then the static ARP entry record's address -> new MAC; a failed
    // entry is logged ("ARP Bind Failed") and the camera's result stands.
    virtual int32_t SetSourceMAC(IOrEyeCamera* pICoreEye, const uint8_t* pbyMAC, const SKxNLEyeDeviceInfoEx* pInfo);
    // Destination pair (parameters 5 and 3), sent a second time when the first answer was the
    // camera's retry code; the address result wins over the MAC result.
    virtual int32_t SetDestAddress(IOrEyeCamera* pICoreEye, const uint8_t* pbyIP, const uint8_t* pbyMAC);

    IKxEthernetEyeConfig* GetDelegate() const { return m_pIDelegate; }

private:
    IKxEthernetEyeConfig* m_pIDelegate;
};
