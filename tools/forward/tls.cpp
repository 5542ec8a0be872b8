// tls:// (RFC 5425): the octet-counted messages over GnuTLS, the collector verified
// against --ca and its name, an optional client certificate; confirmed like tcp://.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <poll.h>
#include <unistd.h>

#include "message.h"
#include "transport.h"

namespace forward {

namespace {

bool is_address(const std::string &host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

class Tls : public Transport {
  public:
    Tls(const Settings &s, const Collector &c) : s_(s), c_(c) {}
    ~Tls() override {
        close();
        if (credentials_) gnutls_certificate_free_credentials(credentials_);
    }

    bool open() override {
        close();
        if (!credentials_ && !load_credentials()) return false;
        fd_ = connect_tcp(c_.host, c_.port, error_);
        if (fd_ < 0) return false;
        int rc = gnutls_init(&session_, GNUTLS_CLIENT);
        if (rc == 0) rc = gnutls_set_default_priority(session_);
        if (rc == 0) rc = gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, credentials_);
        if (rc == 0 && !is_address(c_.host))
            rc = gnutls_server_name_set(session_, GNUTLS_NAME_DNS, c_.host.data(), c_.host.size());
        if (rc != 0) return tls_fail("TLS set-up", rc);
        gnutls_session_set_verify_cert(session_, c_.host.c_str(), 0);
        gnutls_transport_set_int(session_, fd_);
        gnutls_handshake_set_timeout(session_, kTimeoutSeconds * 1000);
        do {
            rc = gnutls_handshake(session_);
        } while (rc < 0 && !gnutls_error_is_fatal(rc));
        if (rc < 0) return handshake_failed(rc);
        return s_.cert.empty() && gnutls_certificate_client_get_request_status(session_) ? accepted_without_cert()
                                                                                        : true;
    }

    bool deliver(const std::vector<std::string> &messages) override {
        if (!session_ && !open()) return false;
        frames_.clear();
        for (const std::string &m : messages) append_octet_counted(frames_, m);
        for (size_t sent = 0; sent < frames_.size();) {
            ssize_t n = gnutls_record_send(session_, frames_.data() + sent, frames_.size() - sent);
            if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
            if (n < 0) return tls_fail("TLS send", (int)n);
            sent += (size_t)n;
        }
        if (!peer_still_listening()) return false;
        std::string why;
        return wait_sent(fd_, why) || fail(why);
    }

    void close() override {
        if (session_ && fd_ >= 0) gnutls_bye(session_, GNUTLS_SHUT_WR);
        if (session_) gnutls_deinit(session_);
        session_ = nullptr;
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    bool load_credentials() {
        int rc = gnutls_certificate_allocate_credentials(&credentials_);
        if (rc == 0 && gnutls_certificate_set_x509_trust_file(credentials_, s_.ca.c_str(),
                                                               GNUTLS_X509_FMT_PEM) <= 0)
            return fail("no CA certificate in " + s_.ca);
        if (rc == 0 && !s_.cert.empty())
            rc = gnutls_certificate_set_x509_key_file(credentials_, s_.cert.c_str(), s_.key.c_str(),
                                                      GNUTLS_X509_FMT_PEM);
        if (rc != 0) {
            gnutls_certificate_free_credentials(credentials_);
            credentials_ = nullptr;
            return tls_fail("client certificate " + s_.cert, rc);
        }
        return true;
    }

    bool handshake_failed(int rc) {
        if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
            gnutls_datum_t text{};
            unsigned status = gnutls_session_get_verify_cert_status(session_);
            gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0);
            std::string why = "the collector's certificate: " + std::string((char *)text.data);
            gnutls_free(text.data);
            return fail(why);
        }
        return tls_fail("TLS handshake", rc);
    }

    // The collector asked for a certificate and got none. Under TLS 1.3 it
    // decides after our side of the handshake is done: a refusal comes as an
    // alert, while what it took would be acknowledged by its system all the same.
    // Waits for the alert (or, when it takes us, up to 2 s for nothing).
    bool accepted_without_cert() {
        gnutls_record_set_timeout(session_, 2000);
        char byte;
        ssize_t n;
        do n = gnutls_record_recv(session_, &byte, 1);
        while (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED);
        gnutls_record_set_timeout(session_, 0);
        if (n == GNUTLS_E_TIMEDOUT || n > 0) return true;
        return n < 0 ? tls_fail("the collector refused us without a client certificate", (int)n)
                     : fail("the collector closed the TLS session: it may want a client certificate");
    }

    // A syslog collector sends no data; a readable socket holds a session ticket,
    // an alert or the end of the session.
    bool peer_still_listening() {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return true;
        char bytes[256];
        int flags = fcntl(fd_, F_GETFL);
        fcntl(fd_, F_SETFL, flags | O_NONBLOCK);  // a session ticket alone must not block us
        ssize_t n = gnutls_record_recv(session_, bytes, sizeof bytes);
        fcntl(fd_, F_SETFL, flags);
        if (n > 0 || n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) return true;
        return n < 0 ? tls_fail("TLS", (int)n) : fail("the collector closed the TLS session");
    }

    bool tls_fail(const std::string &what, int rc) { return fail(what + ": " + gnutls_strerror(rc)); }

    const Settings &s_;
    const Collector &c_;
    gnutls_certificate_credentials_t credentials_ = nullptr;
    gnutls_session_t session_ = nullptr;
    int fd_ = -1;
    std::string frames_;
};

}  // namespace

std::unique_ptr<Transport> make_tls(const Settings &s, const Collector &c) {
    return std::make_unique<Tls>(s, c);
}

}  // namespace forward
