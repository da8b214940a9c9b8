// srtp_peer is an SRTP far end for the relay's tests, built on pion/srtp.
// It binds an RTP and an RTCP socket on 127.0.0.1, prints
// "ports <rtp> <rtcp>", then follows one command per line on stdin and
// answers each with one line:
//
//	key send|recv 80|32 <hex master key and salt>  -> ok
//	send rtp|rtcp <port> <hex plain>               -> ok <hex sent>
//	sendraw rtp|rtcp <port> <hex>                  -> ok
//	recv rtp|rtcp <ms>                             -> ok <hex plain> | bad <error> | timeout
//	recvraw rtp|rtcp <ms>                          -> ok <hex> | timeout
//	quit
//
// "recv rtp" decrypts RTCP as SRTCP when its second byte marks RTCP, so
// multiplexed RTCP can be read from the RTP socket. Errors answer "err ...".
package main

import (
	"bufio"
	"encoding/hex"
	"fmt"
	"net"
	"os"
	"strconv"
	"strings"
	"time"

	"github.com/pion/srtp/v2"
)

type peer struct {
	sockets map[string]*net.UDPConn
	send    *srtp.Context
	recv    *srtp.Context
}

func profileOf(name string) (srtp.ProtectionProfile, error) {
	switch name {
	case "80":
		return srtp.ProtectionProfileAes128CmHmacSha1_80, nil
	case "32":
		return srtp.ProtectionProfileAes128CmHmacSha1_32, nil
	}
	return 0, fmt.Errorf("unknown profile %s", name)
}

func isRTCP(b []byte) bool {
	return len(b) >= 2 && b[1]&0x7F >= 64 && b[1]&0x7F <= 79 && (b[1]&0x7F <= 65 || b[1]&0x7F >= 72)
}

func (p *peer) socket(name string) (*net.UDPConn, error) {
	c, ok := p.sockets[name]
	if !ok {
		return nil, fmt.Errorf("unknown socket %s", name)
	}
	return c, nil
}

func (p *peer) key(args []string) (string, error) {
	if len(args) != 3 {
		return "", fmt.Errorf("key needs direction, profile and key")
	}
	profile, err := profileOf(args[1])
	if err != nil {
		return "", err
	}
	k, err := hex.DecodeString(args[2])
	if err != nil || len(k) != 30 {
		return "", fmt.Errorf("key must be 30 bytes in hex")
	}
	ctx, err := srtp.CreateContext(k[:16], k[16:], profile)
	if err != nil {
		return "", err
	}
	switch args[0] {
	case "send":
		p.send = ctx
	case "recv":
		p.recv = ctx
	default:
		return "", fmt.Errorf("unknown direction %s", args[0])
	}
	return "ok", nil
}

func (p *peer) transmit(args []string, protect bool) (string, error) {
	if len(args) != 3 {
		return "", fmt.Errorf("send needs socket, port and bytes")
	}
	c, err := p.socket(args[0])
	if err != nil {
		return "", err
	}
	port, err := strconv.Atoi(args[1])
	if err != nil {
		return "", err
	}
	data, err := hex.DecodeString(args[2])
	if err != nil {
		return "", err
	}
	if protect {
		if p.send == nil {
			return "", fmt.Errorf("no send key")
		}
		if isRTCP(data) {
			data, err = p.send.EncryptRTCP(nil, data, nil)
		} else {
			data, err = p.send.EncryptRTP(nil, data, nil)
		}
		if err != nil {
			return "", err
		}
	}
	to := &net.UDPAddr{IP: net.IPv4(127, 0, 0, 1), Port: port}
	if _, err := c.WriteToUDP(data, to); err != nil {
		return "", err
	}
	if protect {
		return "ok " + hex.EncodeToString(data), nil
	}
	return "ok", nil
}

func (p *peer) receive(args []string, unprotect bool) (string, error) {
	if len(args) != 2 {
		return "", fmt.Errorf("recv needs socket and wait")
	}
	c, err := p.socket(args[0])
	if err != nil {
		return "", err
	}
	ms, err := strconv.Atoi(args[1])
	if err != nil {
		return "", err
	}
	buf := make([]byte, 4096)
	if err := c.SetReadDeadline(time.Now().Add(time.Duration(ms) * time.Millisecond)); err != nil {
		return "", err
	}
	n, _, err := c.ReadFromUDP(buf)
	if err != nil {
		if ne, ok := err.(net.Error); ok && ne.Timeout() {
			return "timeout", nil
		}
		return "", err
	}
	data := buf[:n]
	if !unprotect {
		return "ok " + hex.EncodeToString(data), nil
	}
	if p.recv == nil {
		return "", fmt.Errorf("no recv key")
	}
	var plain []byte
	if args[0] == "rtcp" || isRTCP(data) {
		plain, err = p.recv.DecryptRTCP(nil, data, nil)
	} else {
		plain, err = p.recv.DecryptRTP(nil, data, nil)
	}
	if err != nil {
		return "bad " + strings.ReplaceAll(err.Error(), "\n", " "), nil
	}
	return "ok " + hex.EncodeToString(plain), nil
}

func (p *peer) handle(line string) (string, bool) {
	fields := strings.Fields(line)
	if len(fields) == 0 {
		return "err empty command", false
	}
	var out string
	var err error
	switch fields[0] {
	case "quit":
		return "", true
	case "key":
		out, err = p.key(fields[1:])
	case "send":
		out, err = p.transmit(fields[1:], true)
	case "sendraw":
		out, err = p.transmit(fields[1:], false)
	case "recv":
		out, err = p.receive(fields[1:], true)
	case "recvraw":
		out, err = p.receive(fields[1:], false)
	default:
		err = fmt.Errorf("unknown command %s", fields[0])
	}
	if err != nil {
		return "err " + err.Error(), false
	}
	return out, false
}

func listen() (*net.UDPConn, error) {
	return net.ListenUDP("udp4", &net.UDPAddr{IP: net.IPv4(127, 0, 0, 1)})
}

func main() {
	rtpConn, err := listen()
	if err != nil {
		fmt.Println("err", err)
		os.Exit(1)
	}
	rtcpConn, err := listen()
	if err != nil {
		fmt.Println("err", err)
		os.Exit(1)
	}
	p := &peer{sockets: map[string]*net.UDPConn{"rtp": rtpConn, "rtcp": rtcpConn}}
	w := bufio.NewWriter(os.Stdout)
	fmt.Fprintf(w, "ports %d %d\n", rtpConn.LocalAddr().(*net.UDPAddr).Port,
		rtcpConn.LocalAddr().(*net.UDPAddr).Port)
	w.Flush()
	in := bufio.NewScanner(os.Stdin)
	for in.Scan() {
		out, quit := p.handle(in.Text())
		if quit {
			return
		}
		fmt.Fprintln(w, out)
		w.Flush()
	}
}
