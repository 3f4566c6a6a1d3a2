package com.plimo.mail.mapi;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import javax.mail.internet.InternetAddress;
import org.junit.jupiter.api.Test;

class DisplayAddressesTest {

    private static InternetAddress parse(String text) {
        return DisplayAddresses.parse(text);
    }

    @Test
    void quotedNameAndAddress() {
        InternetAddress a = parse("\"Jane Doe\" <jane@example.org>");
        assertEquals("jane@example.org", a.getAddress());
        assertEquals("Jane Doe", a.getPersonal());
    }

    @Test
    void emptyNameGivesNoPersonal() {
        InternetAddress a = parse("\"\" <jane@example.org>");
        assertEquals("jane@example.org", a.getAddress());
        assertNull(a.getPersonal());
    }

    @Test
    void commaInTheNameStaysOneAddress() {
        InternetAddress a = parse("\"Doe, Jane\" <jane@example.org>");
        assertEquals("jane@example.org", a.getAddress());
        assertEquals("Doe, Jane", a.getPersonal());
    }

    @Test
    void escapedQuotesInTheSenderName() {
        InternetAddress a = parse("\"Sales, \\\"Desk\\\"\" <sales@example.org>");
        assertEquals("sales@example.org", a.getAddress());
        assertEquals("Sales, \"Desk\"", a.getPersonal());
    }

    @Test
    void bareQuotesInARecipientName() {
        // recipient names come unescaped
        InternetAddress a = parse("\"The \"Best\" Team\" <team@example.org>");
        assertEquals("team@example.org", a.getAddress());
        assertEquals("The \"Best\" Team", a.getPersonal());
    }

    @Test
    void angleBracketsInTheName() {
        InternetAddress a = parse("\"A <b> C\" <c@example.org>");
        assertEquals("c@example.org", a.getAddress());
        assertEquals("A <b> C", a.getPersonal());
    }

    @Test
    void unresolvedAddressKeepsTheName() {
        InternetAddress a = parse("\"Exchange User\" <>");
        assertEquals("", a.getAddress());
        assertEquals("Exchange User", a.getPersonal());
    }

    @Test
    void nonAsciiName() {
        InternetAddress a = parse("\"Jürgen Müller\" <jm@example.org>");
        assertEquals("jm@example.org", a.getAddress());
        assertEquals("Jürgen Müller", a.getPersonal());
    }

    @Test
    void bareAddressAsReplyToGivesIt() {
        InternetAddress a = parse("REPLY@EXAMPLE.ORG");
        assertEquals("REPLY@EXAMPLE.ORG", a.getAddress());
        assertNull(a.getPersonal());
    }

    @Test
    void otherRfc822FormsAreParsedLeniently() {
        InternetAddress a = parse("Jane Doe <jane@example.org>");
        assertEquals("jane@example.org", a.getAddress());
        assertEquals("Jane Doe", a.getPersonal());
    }

    @Test
    void unparseableTextBecomesTheAddress() {
        String text = "\"unterminated <x@y";
        InternetAddress a = parse(text);
        assertEquals(text, a.getAddress());
        assertNull(a.getPersonal());

        String list = "a@example.org, b@example.org";
        assertEquals(list, parse(list).getAddress());

        assertEquals("", parse("").getAddress());
    }

    @Test
    void parseAllKeepsOrderAndSkipsNulls() {
        InternetAddress[] all = DisplayAddresses.parseAll(new String[] {
            "\"One\" <one@example.org>", null, "two@example.org"});
        assertEquals(2, all.length);
        assertEquals("one@example.org", all[0].getAddress());
        assertEquals("two@example.org", all[1].getAddress());
        assertEquals(0, DisplayAddresses.parseAll(null).length);
        assertEquals(0, DisplayAddresses.parseAll(new String[0]).length);
    }
}
