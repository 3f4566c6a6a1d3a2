package com.plimo.mail.mapi.provider;

import com.plimo.mail.mapi.MAPINative;
import com.plimo.mail.mapi.TextDecoding;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.UnsupportedEncodingException;
import java.nio.file.Path;
import java.util.Enumeration;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import javax.mail.Address;
import javax.mail.Header;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.Multipart;
import javax.mail.Part;
import javax.mail.internet.ContentType;
import javax.mail.internet.InternetAddress;
import javax.mail.internet.MimeUtility;
import javax.mail.internet.ParseException;

/**
 * Fills one native message of the Outbox from a {@link Message}: subject, sender,
 * recipients, Reply-To, priority, X- headers, the first plain-text and HTML bodies that are
 * not attachments, and every other leaf part as an attachment (inline, with its content
 * identifier, when it has a Content-ID inside multipart/related or is marked inline).
 * An attached message ({@code message/rfc822}) is attached as its RFC 822 text.
 */
final class MessageComposer {

    private final long message;
    private final Path dir;
    private String plain;
    private String html;
    private int files;

    MessageComposer(long message, Path dir) {
        this.message = message;
        this.dir = dir;
    }

    void compose(Message source, List<InternetAddress> envelope) throws MessagingException {
        String subject = source.getSubject();
        if (subject != null) {
            Core.run(() -> MAPINative.setMessageSubject(message, subject));
        }
        Address[] from = source.getFrom();
        if (from != null && from.length > 0 && from[0] instanceof InternetAddress) {
            InternetAddress f = (InternetAddress) from[0];
            Core.run(() -> MAPINative.addMessageFrom(message, nullToEmpty(f.getPersonal()), f.getAddress()));
        }
        addRecipients(source, envelope);
        String[] replyTo = source.getHeader("Reply-To");
        if (replyTo != null && replyTo.length > 0) {
            InternetAddress[] parsed = InternetAddress.parseHeader(replyTo[0], false);
            if (parsed.length > 0) {
                Core.run(() -> MAPINative.setMessageReplyTo(message, nullToEmpty(parsed[0].getPersonal()), parsed[0].getAddress()));
            }
        }
        Integer priority = priority(source);
        if (priority != null) {
            Core.run(() -> MAPINative.setMessagePriority(message, priority));
        }
        addXHeaders(source);
        try {
            walk(source, false);
        } catch (IOException e) {
            throw new MessagingException("Cannot read the message's content: " + e.getMessage(), e);
        }
        if (plain != null) {
            Core.run(() -> MAPINative.setMessagePlainTextBody(message, plain));
        }
        if (html != null) {
            Core.run(() -> MAPINative.setMessageHTMLBody(message, html));
        }
    }

    private void addRecipients(Message source, List<InternetAddress> envelope) throws MessagingException {
        Map<String, InternetAddress> to = MAPITransport.byAddress(source.getRecipients(Message.RecipientType.TO));
        Map<String, InternetAddress> cc = MAPITransport.byAddress(source.getRecipients(Message.RecipientType.CC));
        for (InternetAddress a : envelope) {
            String key = a.getAddress().toLowerCase(Locale.ROOT);
            if (to.containsKey(key)) {
                InternetAddress h = to.get(key);
                Core.run(() -> MAPINative.addMessageToRecipient(message, nullToEmpty(h.getPersonal()), h.getAddress()));
            } else if (cc.containsKey(key)) {
                InternetAddress h = cc.get(key);
                Core.run(() -> MAPINative.addMessageCCRecipient(message, nullToEmpty(h.getPersonal()), h.getAddress()));
            } else {
                Core.run(() -> MAPINative.addMessageBCCRecipient(message, nullToEmpty(a.getPersonal()), a.getAddress()));
            }
        }
    }

    /** MAPI's PR_PRIORITY (1 urgent, 0 normal, -1 not urgent) from X-Priority, else Importance. */
    static Integer priority(Part source) throws MessagingException {
        String[] x = source.getHeader("X-Priority");
        if (x != null && x.length > 0) {
            String v = x[0].trim();
            if (!v.isEmpty() && Character.isDigit(v.charAt(0))) {
                int level = v.charAt(0) - '0';
                return level <= 2 ? 1 : level >= 4 ? -1 : 0;
            }
        }
        String[] importance = source.getHeader("Importance");
        if (importance != null && importance.length > 0) {
            String v = importance[0].trim().toLowerCase(Locale.ROOT);
            if (v.equals("high")) {
                return 1;
            }
            if (v.equals("low")) {
                return -1;
            }
            if (v.equals("normal")) {
                return 0;
            }
        }
        return null;
    }

    private void addXHeaders(Message source) throws MessagingException {
        Enumeration<Header> all = source.getAllHeaders();
        while (all.hasMoreElements()) {
            Header h = all.nextElement();
            String name = h.getName();
            if (name.length() > 2 && name.regionMatches(true, 0, "X-", 0, 2)
                    && !name.equalsIgnoreCase("X-Priority")) {
                Core.run(() -> MAPINative.setMessageXHeader(message, name, decode(h.getValue())));
            }
        }
    }

    /**
     * Goes by the content objects rather than the Content-Type headers: a MimeMessage given
     * to sendMessage before saveChanges has its multipart set but no header saying so yet.
     */
    private void walk(Part part, boolean inRelated) throws MessagingException, IOException {
        Object content;
        try {
            content = part.getContent();
        } catch (UnsupportedEncodingException e) {
            content = null;
        }
        if (content instanceof Multipart) {
            Multipart mp = (Multipart) content;
            boolean related = mimeTypeOf(mp.getContentType()).equals("multipart/related")
                    || part.isMimeType("multipart/related");
            for (int i = 0; i < mp.getCount(); i++) {
                walk(mp.getBodyPart(i), related);
            }
            return;
        }
        String disposition = part.getDisposition();
        String fileName = part.getFileName();
        boolean attachment = Part.ATTACHMENT.equalsIgnoreCase(disposition) || fileName != null;
        String type = typeOf(part);
        if (!attachment && type.equals("text/plain") && plain == null) {
            plain = text(part, content);
            return;
        }
        if (!attachment && type.equals("text/html") && html == null) {
            html = text(part, content);
            return;
        }
        attach(part, content, type, inRelated, disposition, fileName);
    }

    private void attach(Part part, Object content, String type, boolean inRelated, String disposition,
            String fileName) throws MessagingException, IOException {
        Path file = dir.resolve("part" + (++files));
        if (content instanceof Message || type.equals("message/rfc822")) {
            if (content instanceof Message) {
                type = "message/rfc822";
                Message nested = (Message) content;
                ByteArrayOutputStream out = new ByteArrayOutputStream();
                nested.writeTo(out);
                MAPITransport.writePrivateFile(file, new java.io.ByteArrayInputStream(out.toByteArray()));
                if (fileName == null) {
                    String s = nested.getSubject();
                    fileName = (s == null || s.isEmpty() ? "message" : s) + ".eml";
                }
            } else {
                try (InputStream in = part.getInputStream()) {
                    MAPITransport.writePrivateFile(file, in);
                }
            }
        } else {
            try (InputStream in = part.getInputStream()) {
                MAPITransport.writePrivateFile(file, in);
            }
        }
        if (fileName == null) {
            fileName = "attachment" + files;
        }
        String cid = contentId(part);
        String name = fileName;
        String mediaType = type;
        String path = file.toString();
        if (cid != null && (inRelated || Part.INLINE.equalsIgnoreCase(disposition))) {
            Core.run(() -> MAPINative.addMessageInlineAttachment(message, name, mediaType, path, cid));
        } else {
            Core.run(() -> MAPINative.addMessageAttachment(message, name, mediaType, path));
        }
    }

    private static String contentId(Part part) throws MessagingException {
        String[] ids = part.getHeader("Content-ID");
        if (ids == null || ids.length == 0) {
            return null;
        }
        String id = ids[0].trim();
        if (id.startsWith("<") && id.endsWith(">")) {
            id = id.substring(1, id.length() - 1);
        }
        return id.isEmpty() ? null : id;
    }

    /**
     * A text part's text. A String the program set is taken as it is, and so is what JavaMail
     * decoded by a charset the part names. Bytes whose type names no charset (a data source
     * of text/html, say) are not taken as JavaMail decodes them (as US-ASCII): they are
     * decoded as UTF-8 when they are UTF-8, else as ISO-8859-1, as they would leave over SMTP.
     */
    private static String text(Part part, Object content) throws MessagingException, IOException {
        javax.activation.DataHandler dh = part.getDataHandler();
        String type = dh != null && dh.getContentType() != null ? dh.getContentType() : part.getContentType();
        boolean setAsText = dh != null && dh.getDataSource() != null
                && dh.getDataSource().getClass().getName().equals("javax.activation.DataHandlerDataSource");
        if (content instanceof String && (setAsText || TextDecoding.charsetOf(type) != null)) {
            return (String) content;
        }
        try (InputStream in = part.getInputStream()) {
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            byte[] buffer = new byte[8192];
            int n;
            while ((n = in.read(buffer)) > 0) {
                out.write(buffer, 0, n);
            }
            return TextDecoding.decode(out.toByteArray(), type);
        }
    }

    /**
     * The part's type, lower case without parameters: what its data handler says, which is
     * also right for a part whose Content-Type header is not written yet (before saveChanges).
     */
    private static String typeOf(Part part) throws MessagingException {
        javax.activation.DataHandler dh = part.getDataHandler();
        String type = dh == null ? null : dh.getContentType();
        return baseType(type != null ? type : part.getContentType());
    }

    private static String mimeTypeOf(String contentType) {
        return baseType(contentType);
    }

    private static String baseType(String contentType) {
        if (contentType == null) {
            return "application/octet-stream";
        }
        try {
            return new ContentType(contentType).getBaseType().toLowerCase(Locale.ROOT);
        } catch (ParseException e) {
            int semi = contentType.indexOf(';');
            return (semi < 0 ? contentType : contentType.substring(0, semi)).trim().toLowerCase(Locale.ROOT);
        }
    }

    private static String decode(String value) {
        if (value == null) {
            return "";
        }
        String unfolded = MimeUtility.unfold(value);
        try {
            return MimeUtility.decodeText(unfolded);
        } catch (UnsupportedEncodingException e) {
            return unfolded;
        }
    }

    private static String nullToEmpty(String s) {
        return s == null ? "" : s;
    }
}
