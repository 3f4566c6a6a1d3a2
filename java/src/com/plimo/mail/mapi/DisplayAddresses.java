package com.plimo.mail.mapi;

import java.io.UnsupportedEncodingException;
import java.util.ArrayList;
import java.util.List;
import javax.mail.internet.AddressException;
import javax.mail.internet.InternetAddress;

/**
 * Turns the address texts of the native address reads into {@link InternetAddress}es.
 *
 * <p>The native side writes senders and recipients as {@code "Name" <address>}, where the
 * sender's name has its double quotes escaped but a recipient's name is copied as stored
 * (so it may hold bare quotes), and reply-to entries as bare addresses. An address that
 * could not be resolved comes as {@code "Name" <>}. None of these texts is rejected: what
 * cannot be parsed becomes an address whose text is the raw string, so no recipient is
 * silently lost.
 */
final class DisplayAddresses {

    private DisplayAddresses() {
    }

    /** Parses every non-null entry, in order; null or empty input gives an empty array. */
    static InternetAddress[] parseAll(String[] texts) {
        if (texts == null) {
            return new InternetAddress[0];
        }
        List<InternetAddress> result = new ArrayList<>(texts.length);
        for (String text : texts) {
            if (text != null) {
                result.add(parse(text));
            }
        }
        return result.toArray(new InternetAddress[0]);
    }

    /** Parses one entry; never fails. */
    static InternetAddress parse(String text) {
        InternetAddress quoted = parseQuotedForm(text);
        if (quoted != null) {
            return quoted;
        }
        try {
            InternetAddress[] parsed = InternetAddress.parseHeader(text, false);
            if (parsed.length == 1) {
                return parsed[0];
            }
        } catch (AddressException e) {
            // fall through to the raw text
        }
        return raw(text);
    }

    /**
     * The native {@code "Name" <address>} form, taken apart by position rather than by
     * RFC 822 rules because the name is not always escaped.
     */
    private static InternetAddress parseQuotedForm(String text) {
        String trimmed = text.trim();
        if (!trimmed.startsWith("\"") || !trimmed.endsWith(">")) {
            return null;
        }
        int open = trimmed.lastIndexOf(" <");
        if (open < 1 || trimmed.charAt(open - 1) != '"' || open - 1 == 0) {
            return null;
        }
        String name = unescape(trimmed.substring(1, open - 1));
        String address = trimmed.substring(open + 2, trimmed.length() - 1).trim();
        if (address.indexOf('<') >= 0 || address.indexOf('>') >= 0) {
            return null;
        }
        InternetAddress result = new InternetAddress();
        result.setAddress(address);
        if (!name.isEmpty()) {
            try {
                result.setPersonal(name);
            } catch (UnsupportedEncodingException e) {
                // setPersonal(String) only encodes with the default MIME charset, which
                // always exists; keep the address without a name if it ever does not
            }
        }
        return result;
    }

    private static String unescape(String name) {
        if (name.indexOf('\\') < 0) {
            return name;
        }
        StringBuilder out = new StringBuilder(name.length());
        for (int i = 0; i < name.length(); i++) {
            char c = name.charAt(i);
            if (c == '\\' && i + 1 < name.length() && name.charAt(i + 1) == '"') {
                continue;
            }
            out.append(c);
        }
        return out.toString();
    }

    private static InternetAddress raw(String text) {
        InternetAddress result = new InternetAddress();
        result.setAddress(text);
        return result;
    }
}
