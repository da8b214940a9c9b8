package com.tavindo.net.sip.sv.rtp;

import java.io.FileDescriptor;
import java.lang.reflect.Field;
import java.net.DatagramSocket;
import java.util.Properties;

/**
 * Binds a real socket to "lo" through the classic datagram layout and the stream layout: the
 * socket's descriptor object is taken by reflection (the JVM runs with the packages opened).
 */
public final class BindChild {
    private BindChild() {}

    public static void main(String[] args) throws Exception {
        RelayHarness.start(new Properties());
        try (DatagramSocket real = RelayHarness.udp(); DatagramSocket real2 = RelayHarness.udp()) {
            System.out.println("classic=" + RTPexJNI.bindToDeviceDatagram0(
                    new SocketFakes.ClassicDatagram(descriptor(real)), "lo"));
            System.out.println("classicPort=" + real.getLocalPort());
            System.out.println("stream=" + RTPexJNI.bindToDevice0(new SocketFakes.Stream(descriptor(real2)), "lo"));
            System.out.println("streamPort=" + real2.getLocalPort());
            System.out.println("ss=" + BindToDeviceTest.boundDevices());
        }
    }

    private static FileDescriptor descriptor(DatagramSocket s) throws Exception {
        Field d = DatagramSocket.class.getDeclaredField("delegate");
        d.setAccessible(true);
        Object delegate = d.get(s);
        Field dc = delegate.getClass().getDeclaredField("dc");
        dc.setAccessible(true);
        Object channel = dc.get(delegate);
        Field fd = channel.getClass().getDeclaredField("fd");
        fd.setAccessible(true);
        return (FileDescriptor) fd.get(channel);
    }
}
