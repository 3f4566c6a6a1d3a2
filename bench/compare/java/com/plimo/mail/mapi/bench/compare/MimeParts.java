package com.plimo.mail.mapi.bench.compare;

import java.io.File;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.StandardCopyOption;
import java.util.Date;
import javax.mail.Address;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.Multipart;
import javax.mail.Part;
import javax.mail.internet.InternetAddress;
import javax.mail.internet.MimeBodyPart;

/**
 * The content walk of the JavaMail walks (files, IMAP and the MAPI provider), as the
 * corpus's manifest counts: multipart/* and message/rfc822 parts are containers, walked
 * into; a leaf with a file name or an attachment disposition is an attachment, saved to a
 * file and deleted once its size is taken ({@link MimeBodyPart#saveFile} for a MIME part;
 * for any other, such as the provider's, its {@link Part#getInputStream} copied to the
 * file); any other text/plain or text/html leaf is a body, read as a String.
 */
final class MimeParts {

    private final WalkTally tally;
    private final File out;

    MimeParts(WalkTally tally, File out) {
        this.tally = tally;
        this.out = out;
    }

    void walk(int n, Part part) throws Exception {
        walk(n, part, 0);
    }

    private int walk(int n, Part part, int saved) throws Exception {
        if (part.isMimeType("multipart/*")) {
            Multipart mp = (Multipart) part.getContent();
            for (int i = 0; i < mp.getCount(); i++) {
                saved = walk(n, mp.getBodyPart(i), saved);
            }
            return saved;
        }
        if (part.isMimeType("message/rfc822")) {
            return walk(n, (Part) part.getContent(), saved);
        }
        String name = part.getFileName();
        if (name != null || Part.ATTACHMENT.equalsIgnoreCase(part.getDisposition())) {
            File file = new File(out, "part-" + n + "-" + saved);
            if (part instanceof MimeBodyPart) {
                ((MimeBodyPart) part).saveFile(file);
            } else {
                try (InputStream in = part.getInputStream()) {
                    Files.copy(in, file.toPath(), StandardCopyOption.REPLACE_EXISTING);
                }
            }
            tally.attachment(n, file.length());
            if (!file.delete()) {
                throw new MessagingException("cannot delete " + file);
            }
            return saved + 1;
        }
        if (part.isMimeType("text/plain") || part.isMimeType("text/html")) {
            tally.body(n, (String) part.getContent());
        }
        return saved;
    }

    /** Subject, From, To, Cc and the sent date of message n, as every javax.mail walk reads them. */
    static void headers(WalkTally tally, int n, Message m) throws MessagingException {
        tally.field(m.getSubject());
        Address[] from = m.getFrom();
        Address[] to = m.getRecipients(Message.RecipientType.TO);
        Address[] cc = m.getRecipients(Message.RecipientType.CC);
        addresses(tally, from);
        addresses(tally, to);
        addresses(tally, cc);
        tally.recipients(n, to == null ? 0 : to.length, cc == null ? 0 : cc.length);
        Date sent = m.getSentDate();
        tally.field(sent == null ? 0 : sent.getTime());
    }

    static void addresses(WalkTally tally, Address[] list) {
        if (list == null) {
            return;
        }
        for (Address a : list) {
            if (a instanceof InternetAddress) {
                InternetAddress ia = (InternetAddress) a;
                tally.field(ia.getPersonal());
                tally.field(ia.getAddress());
            } else {
                tally.field(a.toString());
            }
        }
    }

    /** X-Priority's digit (1-5) when there is one, else 1 or 5 from Importance, else 0. */
    static int priority(Message m) throws MessagingException {
        String[] x = m.getHeader("X-Priority");
        if (x != null && x.length > 0) {
            String v = x[0].trim();
            if (!v.isEmpty() && Character.isDigit(v.charAt(0))) {
                return v.charAt(0) - '0';
            }
        }
        String[] importance = m.getHeader("Importance");
        if (importance != null && importance.length > 0) {
            String v = importance[0].trim();
            if (v.equalsIgnoreCase("high")) {
                return 1;
            }
            if (v.equalsIgnoreCase("low")) {
                return 5;
            }
        }
        return 0;
    }
}
