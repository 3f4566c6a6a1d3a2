package com.plimo.mail.mapi.provider.test;

import java.io.IOException;
import java.io.InputStream;
import java.util.ArrayList;
import java.util.Base64;
import java.util.List;
import java.util.Locale;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.Multipart;
import javax.mail.Part;

/**
 * What a mail reader takes from a message, whatever its nesting: the first plain-text and
 * HTML bodies, and every other leaf as an attachment (name, type, data, content
 * identifier). Attached messages are recorded by their subject. Texts are compared with
 * line ends as LF and without trailing blank lines, since the store keeps the text, not
 * its line ends.
 */
final class FlatView {

    String plain;
    String html;
    final List<String> attachments = new ArrayList<>();
    final List<String> attachedMessages = new ArrayList<>();

    static FlatView of(Part part) throws MessagingException, IOException {
        FlatView view = new FlatView();
        view.walk(part);
        return view;
    }

    private void walk(Part part) throws MessagingException, IOException {
        Object content = part.getContent();
        // What a JavaMail program relies on: a part that says it is plain text or HTML gives
        // a String (JavaMail's own handlers do so for these types).
        if ((part.isMimeType("text/plain") || part.isMimeType("text/html")) && !(content instanceof String)) {
            throw new AssertionError(part.getContentType() + " part gives " + content.getClass().getName());
        }
        if (content instanceof Multipart) {
            Multipart mp = (Multipart) content;
            for (int i = 0; i < mp.getCount(); i++) {
                walk(mp.getBodyPart(i));
            }
            return;
        }
        boolean attachment = Part.ATTACHMENT.equalsIgnoreCase(part.getDisposition()) || part.getFileName() != null;
        if (content instanceof Message) {
            attachedMessages.add(((Message) content).getSubject());
            return;
        }
        if (part.isMimeType("message/rfc822")) {
            // A store without the message's MIME form names the attached message after its subject.
            String name = part.getFileName();
            attachedMessages.add(name == null ? null : name.replaceFirst("\\.(msg|eml)$", ""));
            return;
        }
        if (!attachment && part.isMimeType("text/plain") && plain == null && content instanceof String) {
            plain = normalise((String) content);
            return;
        }
        if (!attachment && part.isMimeType("text/html") && html == null && content instanceof String) {
            html = normalise((String) content);
            return;
        }
        byte[] data;
        try (InputStream in = part.getInputStream()) {
            data = MailHome.readAll(in);
        }
        String type = part.getContentType().toLowerCase(Locale.ROOT).split(";")[0].trim();
        String[] ids = part.getHeader("Content-ID");
        String id = ids == null ? "" : ids[0].replaceAll("[<>]", "");
        String name = part.getFileName();
        attachments.add((name == null ? "(no name)" : name) + " " + type + " cid=" + id + " " + data.length
                + " bytes sha256=" + Base64.getEncoder().encodeToString(sha256(data)));
    }

    private static byte[] sha256(byte[] data) {
        try {
            return java.security.MessageDigest.getInstance("SHA-256").digest(data);
        } catch (java.security.NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);
        }
    }

    static String normalise(String text) {
        return text.replace("\r\n", "\n").replaceAll("\\s+$", "");
    }

    @Override
    public String toString() {
        return "plain=" + plain + "\nhtml=" + html + "\nattachments=" + attachments + "\nmessages=" + attachedMessages;
    }
}
