#include "sim/uart/uart16550.h"

#include <gtest/gtest.h>

#include <vector>

using sim::uart::Uart16550;

TEST(Uart16550, DivisorLatchSetsBaudAndHidesDataRegister)
{
    Uart16550 uart;
    std::vector<std::uint8_t> sent;
    uart.setTransmitHandler([&](std::uint8_t b) { sent.push_back(b); });
    uart.write(Uart16550::kLineControl, 0x80);
    uart.write(Uart16550::kData, 0x0C); // divisor low, not transmitted
    uart.write(Uart16550::kInterruptEnable, 0x00);
    uart.write(Uart16550::kLineControl, 0x1B);
    EXPECT_EQ(uart.baud(), 9600u);
    EXPECT_TRUE(sent.empty());
    uart.write(Uart16550::kData, 0x41);
    EXPECT_EQ(sent, std::vector<std::uint8_t>({ 0x41 }));
}

TEST(Uart16550, ReceiveFifoDataReadyAndErrorsClearOnStatusRead)
{
    Uart16550 uart;
    uart.write(Uart16550::kFifoControl, 0x07);
    EXPECT_EQ(uart.read(Uart16550::kLineStatus) & Uart16550::kDataReady, 0);
    uart.receive(0x05, Uart16550::kParityError);
    uart.receive(0x06);
    const std::uint8_t first = uart.read(Uart16550::kLineStatus);
    EXPECT_TRUE(first & Uart16550::kDataReady);
    EXPECT_TRUE(first & Uart16550::kParityError);
    EXPECT_FALSE(uart.read(Uart16550::kLineStatus) & Uart16550::kParityError);
    EXPECT_EQ(uart.read(Uart16550::kData), 0x05);
    EXPECT_EQ(uart.read(Uart16550::kData), 0x06);
    EXPECT_EQ(uart.read(Uart16550::kLineStatus) & Uart16550::kDataReady, 0);
}

TEST(Uart16550, FullFifoOverrunsAndFifoControlClears)
{
    Uart16550 uart;
    uart.write(Uart16550::kFifoControl, 0x01);
    for (int i = 0; i < 17; ++i)
        uart.receive(static_cast<std::uint8_t>(i));
    EXPECT_EQ(uart.receivedWaiting(), Uart16550::kFifoSize);
    EXPECT_TRUE(uart.read(Uart16550::kLineStatus) & Uart16550::kOverrunError);
    uart.write(Uart16550::kFifoControl, 0xC7);
    EXPECT_EQ(uart.receivedWaiting(), 0u);
}

TEST(Uart16550, WithoutFifoHoldsOneByte)
{
    Uart16550 uart;
    uart.receive(1);
    uart.receive(2);
    EXPECT_EQ(uart.receivedWaiting(), 1u);
    EXPECT_EQ(uart.read(Uart16550::kData), 1);
}
